// Image files to grey pixels (stb_image) and QR recognition of grey images
// (ZXing-cpp, QR codes only).
#include "qr_scan.h"

// Byte access only; the define keeps ZXing 1.4 from warning about text().
#define ZX_USE_UTF8
#include <ReadBarcode.h>
#include <stb_image.h>

#include <algorithm>
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

namespace {

// ZXing's own defaults for its downscaled copies.
constexpr int kDownscaleFactor = 3;
constexpr int kDownscaleThreshold = 500;

struct Pass {
  ZXing::Results results;
  bool threw = false;
};

// One recogniser run, the codes in ZXing's order. Micro QR is left out: this
// ZXing version can crash in it. With returnErrors a symbol whose data is
// malformed comes back as a result with an error instead of being dropped.
Pass Read(const ZXing::ImageView& view, bool downscale, ZXing::Binarizer binarizer) {
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode)
      .setTryHarder(true)
      .setTryDownscale(downscale)
      .setDownscaleFactor(kDownscaleFactor)
      .setDownscaleThreshold(kDownscaleThreshold)
      .setTryRotate(false)
      .setBinarizer(binarizer)
      .setReturnErrors(true);
  Pass pass;
  try {
    pass.results = ZXing::ReadBarcodes(view, hints);
  } catch (...) {
    // ZXing throws out of its decoder on some malformed symbols (invalid mode,
    // bit stream overrun). The results of the run go with the exception.
    pass.results.clear();
    pass.threw = true;
  }
  return pass;
}

// The mean of each factor x factor block, as ZXing builds its smaller copies.
std::vector<uint8_t> Downscaled(const GreyImage& image, int* width, int* height) {
  *width = image.width / kDownscaleFactor;
  *height = image.height / kDownscaleFactor;
  std::vector<uint8_t> out(static_cast<std::size_t>(*width) * static_cast<std::size_t>(*height));
  constexpr int kArea = kDownscaleFactor * kDownscaleFactor;
  for (int y = 0; y < *height; ++y) {
    for (int x = 0; x < *width; ++x) {
      int sum = kArea / 2;
      for (int dy = 0; dy < kDownscaleFactor; ++dy) {
        const uint8_t* row =
            &image.pixels[static_cast<std::size_t>(y * kDownscaleFactor + dy) * image.width + x * kDownscaleFactor];
        for (int dx = 0; dx < kDownscaleFactor; ++dx) sum += row[dx];
      }
      out[static_cast<std::size_t>(y) * *width + x] = static_cast<uint8_t>(sum / kArea);
    }
  }
  return out;
}

// ZXing's full pass: every row of the image, then its downscaled copies for
// very large modules, a code found in both counted once. Done as two runs so
// that the copies are not binarised at full size twice, and so that an
// exception in the copies leaves the codes of the image itself.
std::vector<QrCode> FullPass(const GreyImage& image, ZXing::Binarizer binarizer) {
  const ZXing::ImageView view(image.pixels.data(), image.width, image.height, ZXing::ImageFormat::Lum);
  Pass pass = Read(view, false, binarizer);
  bool threw = pass.threw;
  ZXing::Results results = std::move(pass.results);

  if (!threw && std::max(image.width, image.height) > kDownscaleThreshold &&
      std::min(image.width, image.height) >= kDownscaleFactor) {
    int width = 0, height = 0;
    const std::vector<uint8_t> smaller = Downscaled(image, &width, &height);
    Pass copies = Read(ZXing::ImageView(smaller.data(), width, height, ZXing::ImageFormat::Lum), true, binarizer);
    threw = copies.threw;
    for (ZXing::Result& result : copies.results) {
      result.setPosition(ZXing::Scale(result.position(), image.width / width));
      if (std::find(results.begin(), results.end(), result) == results.end()) results.push_back(std::move(result));
    }
  }

  std::vector<QrCode> codes;
  for (const ZXing::Result& result : results) {
    QrCode code;
    if (result.isValid()) {
      code.decoded = true;
      // The payload bytes as the symbol carries them, not a re-encoded text.
      const ZXing::ByteArray& bytes = result.bytes();
      code.payload.assign(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
    }
    codes.push_back(std::move(code));
  }
  // An exception stands for one code that was seen and cannot be decoded.
  if (threw) codes.push_back(QrCode{});
  return codes;
}

}  // namespace

std::vector<QrCode> RecogniseQrCodes(const GreyImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
    return {};
  }
  std::vector<QrCode> codes = FullPass(image, ZXing::Binarizer::LocalAverage);
  if (!codes.empty()) return codes;
  // Flat, high-contrast pictures that the local threshold breaks up.
  codes = FullPass(image, ZXing::Binarizer::FixedThreshold);
  if (!codes.empty()) return codes;
  // Light modules on a dark ground, as dark themes draw them.
  GreyImage inverted{image.width, image.height, std::vector<uint8_t>(image.pixels.size())};
  for (std::size_t i = 0; i < inverted.pixels.size(); ++i) {
    inverted.pixels[i] = static_cast<uint8_t>(255 - image.pixels[i]);
  }
  return FullPass(inverted, ZXing::Binarizer::LocalAverage);
}

}  // namespace sources
