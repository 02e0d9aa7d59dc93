# Image files (stb_image, whose implementation the shared libstb carries) and
# QR recognition (ZXing-cpp).
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)
target_sources(sources PRIVATE ${CMAKE_CURRENT_LIST_DIR}/qr_scan.cpp)
target_link_libraries(sources PRIVATE PkgConfig::ZXING PkgConfig::STB)
