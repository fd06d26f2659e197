# Micro-benchmarks (Google Benchmark); built only where the library is installed.
if(benchmark_FOUND)
  add_executable(quorvin_bench_net ${CMAKE_CURRENT_LIST_DIR}/net_bench.cpp)
  target_link_libraries(quorvin_bench_net PRIVATE quorvin::platform benchmark::benchmark quorvin::warnings)
endif()
