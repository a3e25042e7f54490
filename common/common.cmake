# Serial port, frame codec, module runner, text/time helpers, hex dump.
add_library(ztpu_common STATIC
  ${CMAKE_CURRENT_LIST_DIR}/serial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/module.cpp
  ${CMAKE_CURRENT_LIST_DIR}/common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/debug.cpp)
target_include_directories(ztpu_common PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_common PUBLIC ztpu_log)
