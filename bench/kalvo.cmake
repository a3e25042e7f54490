# Acoustic modem: decoder real-time factors and trellis column times.
add_executable(kalvo_bench ${CMAKE_CURRENT_LIST_DIR}/kalvo_decoder.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/kalvo_trellis.cpp)
target_include_directories(kalvo_bench PRIVATE ${PROJECT_SOURCE_DIR}/kalvo)
target_link_libraries(kalvo_bench PRIVATE kalvo benchmark::benchmark_main)
