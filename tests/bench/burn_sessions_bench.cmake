# Random operator sessions against the burn engine, a million steps by default.
add_executable(burn_sessions_bench ${CMAKE_CURRENT_LIST_DIR}/burn_sessions_bench.cpp)
target_include_directories(burn_sessions_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/unit/station)
target_link_libraries(burn_sessions_bench PRIVATE station sim)
