# Transaction core (ticket query, payment and order records) and the module
# table. ztpu_txn leaves server_is_offline to the final link, so that its
# tests can stand in for the server link; ztpu_core is the whole system.
# The record file's repair alone, for the order upload.
add_library(ztpu_records STATIC ${CMAKE_CURRENT_LIST_DIR}/ztpu_records.cpp)
target_include_directories(ztpu_records PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_records PUBLIC ztpu_log)

add_library(ztpu_txn STATIC ${CMAKE_CURRENT_LIST_DIR}/ztpu_query.cpp
                            ${CMAKE_CURRENT_LIST_DIR}/ztpu_pay.cpp)
target_include_directories(ztpu_txn PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_txn PUBLIC ztpu_records ztpu_fileio ztpu_phone ztpu_security ztpu_mconf ztpu_crypto ztpu_common
                                      ztpu_log)

add_library(ztpu_core STATIC ${CMAKE_CURRENT_LIST_DIR}/ztpu.cpp)
target_include_directories(ztpu_core PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_core PUBLIC ztpu_txn ztpu_server ztpu_phone ztpu_security ztpu_mconf
                                       ztpu_common ztpu_log)
