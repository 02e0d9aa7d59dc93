// Image decoding and QR recognition on any file content. Input that starts
// with "GREY" and a 16-bit width is taken as raw grey pixels instead, so that
// mutations reach the recogniser's decoder with a symbol still in place.
#include "qr_scan.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// Keeps each run quick; the recogniser's cost grows with the area.
constexpr std::size_t kMaxArea = 1 << 20;

void Recognise(const sources::GreyImage& image) {
  for (const sources::QrCode& code : sources::RecogniseQrCodes(image)) {
    if (!code.decoded && !code.payload.empty()) std::abort();
    if (code.payload.find('\0') != std::string::npos) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size >= 6 && std::memcmp(data, "GREY", 4) == 0) {
    const int width = data[4] | data[5] << 8;
    if (width == 0) return 0;
    const std::size_t pixels = size - 6;
    const int height = static_cast<int>(pixels / static_cast<std::size_t>(width));
    if (height == 0) return 0;
    sources::GreyImage image{width, height, std::vector<uint8_t>(data + 6, data + 6 + static_cast<std::size_t>(width) * height)};
    Recognise(image);
    return 0;
  }
  const std::optional<sources::GreyImage> image = sources::LoadGreyImageFromMemory(data, size);
  if (!image) return 0;
  if (image->width <= 0 || image->height <= 0 ||
      image->pixels.size() != static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height)) {
    std::abort();
  }
  if (image->pixels.size() <= kMaxArea) Recognise(*image);
  return 0;
}
