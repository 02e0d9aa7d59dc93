// Image files and QR recognition for the seed sources.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sources {

struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height, 0 black .. 255 white, top row first
};

// Decodes a PNG, JPG or any format stb_image knows, whatever the file's name;
// transparent pixels are composited onto white. Nothing when it cannot.
std::optional<GreyImage> LoadGreyImage(const std::string& path);
// The same for an image already in memory (the file's bytes).
std::optional<GreyImage> LoadGreyImageFromMemory(const uint8_t* data, std::size_t size);

// One code the recogniser found, in its order: the payload bytes up to the
// first NUL, or decoded == false when the code was seen but cannot be decoded.
struct QrCode {
  bool decoded = false;
  std::string payload;
};
// QR codes only (no Micro QR). A symbol that fails error correction is not
// reported at all; one whose data is malformed is reported as not decoded.
// When a look finds nothing, the image is looked at again with a fixed
// threshold and then inverted (light modules on dark). ZXing's exceptions
// never leave it.
std::vector<QrCode> RecogniseQrCodes(const GreyImage& image);

}  // namespace sources
