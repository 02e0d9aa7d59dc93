# "Scan Screen" from the press to the secret in the box, on a 1080p Xvfb
# screen of its own: tests/bench/scan_screen_bench [RUNS].
if(TARGET ui AND TARGET sim)
  add_executable(scan_screen_bench ${CMAKE_CURRENT_LIST_DIR}/scan_screen_bench.cpp)
  target_include_directories(scan_screen_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/ui)
  target_link_libraries(scan_screen_bench PRIVATE ui sim Qt6::Test)
  target_compile_definitions(scan_screen_bench PRIVATE QR_FIXTURE_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures/qr")
endif()
