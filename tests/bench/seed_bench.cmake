# Seed-file loading, table lookup and the preview's 21 codes.
add_executable(seedfile_bench ${CMAKE_CURRENT_LIST_DIR}/seedfile_bench.cpp)
target_link_libraries(seedfile_bench PRIVATE sources seed Qt6::Core)
