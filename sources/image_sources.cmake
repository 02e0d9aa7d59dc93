# Image files (stb_image, whose implementation the shared libstb carries) and
# QR recognition (ZXing-cpp).
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)
target_sources(sources PRIVATE ${CMAKE_CURRENT_LIST_DIR}/qr_scan.cpp ${CMAKE_CURRENT_LIST_DIR}/qr_binarize.cpp)
target_link_libraries(sources PRIVATE PkgConfig::ZXING PkgConfig::STB Threads::Threads)
# The picture loops of the recogniser are written to be vectorised; GCC does
# so at -O2 only with its dynamic cost model.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/qr_scan.cpp ${CMAKE_CURRENT_LIST_DIR}/qr_binarize.cpp PROPERTIES
  COMPILE_OPTIONS "$<$<CXX_COMPILER_ID:GNU>:-ftree-vectorize;-fvect-cost-model=dynamic>")
