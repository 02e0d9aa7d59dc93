# The shared pool's cost per token with eight stations claiming at once; run by
# tests/bench/pool_bench.sh against a temporary PostgreSQL cluster.
if(TARGET seedpool)
  add_executable(pool_cost_bench ${CMAKE_CURRENT_LIST_DIR}/pool_cost_bench.cpp)
  target_link_libraries(pool_cost_bench PRIVATE seedpool Threads::Threads)
endif()
