add_library(ztpu_mconf STATIC ${CMAKE_CURRENT_LIST_DIR}/mconf.cpp)
target_include_directories(ztpu_mconf PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_mconf PUBLIC ztpu_common ztpu_log PRIVATE ztpu_fileio)
