# Server link: sign-in, heartbeat and link status; command and order threads.
# The objects are kept apart so that tests can link them against doubles of
# the security module.
add_library(ztpu_server_obj OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_heartbeat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_order.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_file.cpp)
target_include_directories(ztpu_server_obj PUBLIC ${PROJECT_SOURCE_DIR}/include
                                                  ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ztpu_server_obj PUBLIC sproto ztpu_mconf ztpu_log ztpu_fileio ztpu_secret Threads::Threads)

add_library(ztpu_server STATIC $<TARGET_OBJECTS:ztpu_server_obj>)
target_include_directories(ztpu_server PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_server PUBLIC sproto ztpu_mconf ztpu_log ztpu_crypto ztpu_fileio ztpu_secret Threads::Threads)
if(TARGET ztpu_security)
  target_link_libraries(ztpu_server PUBLIC ztpu_security)
endif()
# The order thread cuts a torn record line before it renames the record file.
target_link_libraries(ztpu_server PUBLIC ztpu_records)
