# Acoustic modem: decoder real-time factors and trellis column times.
add_executable(kalvo_bench ${CMAKE_CURRENT_LIST_DIR}/kalvo_decoder.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/kalvo_trellis.cpp)
target_include_directories(kalvo_bench PRIVATE ${PROJECT_SOURCE_DIR}/kalvo)
target_link_libraries(kalvo_bench PRIVATE kalvo benchmark::benchmark_main)

# Plain driver for instruction counts (scripts/bench-arm): no benchmark
# library, so that it builds and runs alike on the board's CPU under qemu.
add_executable(kalvo_arm_driver ${CMAKE_CURRENT_LIST_DIR}/kalvo_arm_driver.cpp)
target_link_libraries(kalvo_arm_driver PRIVATE kalvo)
