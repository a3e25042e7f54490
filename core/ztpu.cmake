# Transaction core and the module table. Each module library that exists is
# linked in; its table entry in ztpu.cpp is the one line to add.
add_library(ztpu_core STATIC ${CMAKE_CURRENT_LIST_DIR}/ztpu.cpp)
target_include_directories(ztpu_core PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_core PUBLIC ztpu_mconf ztpu_common ztpu_log)
foreach(mod security phone server crypto)
  if(TARGET ztpu_${mod})
    target_link_libraries(ztpu_core PUBLIC ztpu_${mod})
  endif()
endforeach()
