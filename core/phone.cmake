# Phone link: ticket record cache fed by the acoustic receiver, Bluetooth port.
add_library(ztpu_phone STATIC ${CMAKE_CURRENT_LIST_DIR}/phone.cpp
                              ${CMAKE_CURRENT_LIST_DIR}/bluetooth.cpp)
target_include_directories(ztpu_phone PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_phone PUBLIC kalvo ztpu_crypto ztpu_common ztpu_log Threads::Threads)
