// Image files to grey pixels (stb_image) and QR recognition of grey images
// (ZXing-cpp, QR codes only).
#include "qr_scan.h"

// Byte access only; the define keeps ZXing 1.4 from warning about text().
#define ZX_USE_UTF8
#include <ReadBarcode.h>
#include <stb_image.h>

#include <climits>
#include <cstdio>
#include <memory>

namespace sources {
namespace {

// Larger than any screen; keeps a forged header from asking for gigabytes.
constexpr long long kMaxPixels = 1LL << 26;

struct StbFree {
  void operator()(stbi_uc* p) const { stbi_image_free(p); }
};
using StbPixels = std::unique_ptr<stbi_uc, StbFree>;

bool SizeAcceptable(int width, int height) {
  return width > 0 && height > 0 && static_cast<long long>(width) * height <= kMaxPixels;
}

// stb_image gives grey and alpha pairs (alpha 255 where the file has none).
// A transparent pixel is stored as black with alpha 0, so the pair is put on
// white; an opaque pixel keeps its grey value as it stands.
GreyImage CompositeOntoWhite(const stbi_uc* greyAlpha, int width, int height) {
  GreyImage image;
  image.width = width;
  image.height = height;
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  image.pixels.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned grey = greyAlpha[2 * i];
    const unsigned alpha = greyAlpha[2 * i + 1];
    image.pixels[i] = static_cast<uint8_t>((grey * alpha + 255u * (255u - alpha) + 127u) / 255u);
  }
  return image;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// One recogniser run over the image, the codes in ZXing's order.
std::vector<QrCode> RunPass(const ZXing::ImageView& view, bool full, ZXing::Binarizer binarizer) {
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode)
      .setTryHarder(full)
      .setTryDownscale(full)
      .setTryRotate(false)
      .setBinarizer(binarizer)
      .setReturnErrors(true);
  std::vector<QrCode> codes;
  try {
    const ZXing::Results results = ZXing::ReadBarcodes(view, hints);
    for (const ZXing::Result& result : results) {
      QrCode code;
      if (result.isValid()) {
        code.decoded = true;
        // The payload bytes as the symbol carries them, not a re-encoded text.
        const ZXing::ByteArray& bytes = result.bytes();
        std::string payload(bytes.begin(), bytes.end());
        code.payload = payload.substr(0, payload.find('\0'));
      }
      codes.push_back(std::move(code));
    }
  } catch (...) {
    // ZXing throws out of its decoder on some malformed symbols; what was
    // found before is lost with the exception, so this counts as one code
    // that was seen and cannot be decoded.
    codes.assign(1, QrCode{});
  }
  return codes;
}

}  // namespace

std::optional<GreyImage> LoadGreyImageFromMemory(const uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const int length = static_cast<int>(size);
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(data, length, &width, &height, &channels) ||
      !SizeAcceptable(width, height)) {
    return std::nullopt;
  }
  StbPixels pixels(stbi_load_from_memory(data, length, &width, &height, &channels, 2));
  if (!pixels || !SizeAcceptable(width, height)) return std::nullopt;
  return CompositeOntoWhite(pixels.get(), width, height);
}

std::optional<GreyImage> LoadGreyImage(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  int width = 0, height = 0, channels = 0;
  // stbi_info_from_file puts the file position back where it found it.
  if (!stbi_info_from_file(file.get(), &width, &height, &channels) ||
      !SizeAcceptable(width, height)) {
    return std::nullopt;
  }
  StbPixels pixels(stbi_load_from_file(file.get(), &width, &height, &channels, 2));
  file.reset();
  if (!pixels || !SizeAcceptable(width, height)) return std::nullopt;
  return CompositeOntoWhite(pixels.get(), width, height);
}

std::vector<QrCode> RecogniseQrCodes(const GreyImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
    return {};
  }
  const ZXing::ImageView view(image.pixels.data(), image.width, image.height, ZXing::ImageFormat::Lum);

  // A quick pass (every few rows, full size only) finds most codes on a
  // screen in a fraction of the full pass's time; the full pass looks at
  // every row and at downscaled copies, for small and very large modules.
  std::vector<QrCode> codes = RunPass(view, false, ZXing::Binarizer::LocalAverage);
  if (!codes.empty()) return codes;
  codes = RunPass(view, true, ZXing::Binarizer::LocalAverage);
  if (!codes.empty()) return codes;
  // Flat, high-contrast pictures that the local threshold breaks up.
  codes = RunPass(view, true, ZXing::Binarizer::FixedThreshold);
  if (!codes.empty()) return codes;
  // Light modules on a dark ground, as dark themes draw them.
  std::vector<uint8_t> inverted(image.pixels.size());
  for (std::size_t i = 0; i < inverted.size(); ++i) inverted[i] = static_cast<uint8_t>(255 - image.pixels[i]);
  const ZXing::ImageView invertedView(inverted.data(), image.width, image.height, ZXing::ImageFormat::Lum);
  return RunPass(invertedView, true, ZXing::Binarizer::LocalAverage);
}

}  // namespace sources
