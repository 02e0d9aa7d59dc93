# QR recognition benchmark: prints median times, run by hand (not a test).
add_executable(qr_bench ${CMAKE_CURRENT_LIST_DIR}/qr_bench.cpp)
target_link_libraries(qr_bench PRIVATE sources PkgConfig::ZXING)
target_compile_definitions(qr_bench PRIVATE
  QR_FIXTURE_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures/qr")
