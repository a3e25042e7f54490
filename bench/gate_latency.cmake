# Gate latency over the pseudo-terminal with every module running (about
# 2000 passages of at least 0.2 s each: several minutes).
add_executable(gate_latency_bench ${CMAKE_CURRENT_LIST_DIR}/gate_latency.cpp)
target_link_libraries(gate_latency_bench PRIVATE ztpu_gate ztpu_interface ztpu_core
                                                 ztpu_backend_sim benchmark::benchmark
                                                 ${CMAKE_DL_LIBS})
target_compile_definitions(gate_latency_bench PRIVATE ZTPU_BENCH_BUILD_DIR="${PROJECT_BINARY_DIR}")
add_dependencies(gate_latency_bench ztpu_testpcode)
# The pseudo-terminal and gate frame helpers shared with the tests.
target_include_directories(gate_latency_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
