# Station benchmarks (idle CPU next to the bare PC/SC passes, burn latency,
# resident size): tests/bench/ui_bench.sh runs them over an isolated pcscd.
if(TARGET ui)
  add_executable(ui_bench ${CMAKE_CURRENT_LIST_DIR}/ui_bench.cpp)
  target_link_libraries(ui_bench PRIVATE ui Qt6::Test)
endif()
