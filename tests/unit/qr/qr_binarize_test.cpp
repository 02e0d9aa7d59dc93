// The recogniser's own LocalAverage binarisation against ZXing's: ZXing keeps
// its binarizers out of its public headers, so the two are compared through
// what ZXing reads from the raw picture and from our black and white.
#include "qr_binarize.h"

#define ZX_USE_UTF8
#include <BitMatrix.h>
#include <MultiFormatWriter.h>
#include <ReadBarcode.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using sources::GreyImage;
using sources::detail::BinarizedHere;
using sources::detail::BinarizeLocalAverage;

// A QR code drawn into a picture: modules of `module` pixels (any fraction,
// sampled by nearest pixel), `dark` on `light` plus a left-to-right `gradient`
// and deterministic noise of +-`noise`.
struct Picture {
  const char* name;
  int width;
  int height;
  double module;
  int left;
  int top;
  int dark;
  int light;
  int gradient;
  int noise;
};

GreyImage Draw(const Picture& p) {
  const ZXing::BitMatrix code =
      ZXing::MultiFormatWriter(ZXing::BarcodeFormat::QRCode).setMargin(0).encode(std::string("otpauth://totp/a?secret=JBSWY3DPEHPK3PXP"), 0, 0);
  GreyImage image{p.width, p.height, std::vector<uint8_t>(static_cast<std::size_t>(p.width) * p.height)};
  uint32_t state = 12345;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const int mx = static_cast<int>(std::floor((x - p.left) / p.module));
      const int my = static_cast<int>(std::floor((y - p.top) / p.module));
      const bool dark = mx >= 0 && my >= 0 && mx < code.width() && my < code.height() && code.get(mx, my);
      state = state * 1664525u + 1013904223u;
      const int jitter = p.noise ? static_cast<int>((state >> 16) % (2 * p.noise + 1)) - p.noise : 0;
      const int shade = (dark ? p.dark : p.light) + p.gradient * x / std::max(1, p.width - 1) + jitter;
      image.pixels[static_cast<std::size_t>(y) * p.width + x] = static_cast<uint8_t>(std::clamp(shade, 0, 255));
    }
  }
  return image;
}

ZXing::Results Read(const uint8_t* pixels, int width, int height, ZXing::Binarizer binarizer) {
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode)
      .setTryHarder(true)
      .setTryDownscale(false)
      .setTryRotate(false)
      .setBinarizer(binarizer)
      .setReturnErrors(true);
  return ZXing::ReadBarcodes(ZXing::ImageView(pixels, width, height, ZXing::ImageFormat::Lum), hints);
}

// What a read found, in a form whose differences a failure shows.
std::vector<std::string> Describe(const ZXing::Results& results) {
  std::vector<std::string> lines;
  for (const ZXing::Result& r : results) {
    std::string line = r.isValid() ? "valid " : "invalid ";
    line += std::string(r.bytes().begin(), r.bytes().end());
    for (int corner = 0; corner < 4; ++corner) {
      const auto point = r.position()[corner];
      line += " (" + std::to_string(point.x) + "," + std::to_string(point.y) + ")";
    }
    lines.push_back(line);
  }
  return lines;
}

class SameAsZxing : public testing::TestWithParam<Picture> {};

TEST_P(SameAsZxing, PictureAndItsInversion) {
  const GreyImage image = Draw(GetParam());
  ASSERT_TRUE(BinarizedHere(image));
  std::vector<uint8_t> inverted(image.pixels.size());
  std::transform(image.pixels.begin(), image.pixels.end(), inverted.begin(),
                 [](uint8_t v) { return static_cast<uint8_t>(255 - v); });
  const std::vector<uint8_t> ours = BinarizeLocalAverage(image, false);
  const std::vector<uint8_t> oursInverted = BinarizeLocalAverage(image, true);
  EXPECT_EQ(Describe(Read(ours.data(), image.width, image.height, ZXing::Binarizer::BoolCast)),
            Describe(Read(image.pixels.data(), image.width, image.height, ZXing::Binarizer::LocalAverage)));
  EXPECT_EQ(Describe(Read(oursInverted.data(), image.width, image.height, ZXing::Binarizer::BoolCast)),
            Describe(Read(inverted.data(), image.width, image.height, ZXing::Binarizer::LocalAverage)));
}

// name, width, height, module, left, top, dark, light, gradient, noise
INSTANTIATE_TEST_SUITE_P(
    Pictures, SameAsZxing,
    testing::Values(Picture{"Plain", 240, 240, 6, 30, 30, 0, 255, 0, 0},
                    Picture{"EdgeBlocksOverlap", 237, 229, 5.5, 21, 17, 20, 230, 0, 0},
                    Picture{"FlushRightCode", 203, 198, 5.3, 48, 43, 30, 220, 0, 0},
                    Picture{"LargeModulesFlatBlocks", 363, 355, 11.5, 14, 10, 40, 200, 0, 0},
                    Picture{"Gradient", 301, 251, 6.5, 40, 20, 0, 120, 135, 0},
                    Picture{"ContrastBelowRange", 211, 205, 6, 18, 15, 100, 123, 0, 0},
                    Picture{"ContrastAtRange", 211, 205, 6, 18, 15, 100, 124, 0, 0},
                    Picture{"ContrastAboveRange", 211, 205, 6, 18, 15, 100, 125, 0, 0},
                    Picture{"LowContrastNoise", 219, 213, 6.25, 20, 22, 100, 126, 0, 3},
                    Picture{"LowContrastGradientNoise", 259, 243, 7.3, 11, 9, 60, 86, 90, 2},
                    Picture{"Noise", 250, 247, 6, 25, 25, 30, 220, 0, 25},
                    Picture{"LightOnDark", 233, 227, 6.1, 20, 20, 230, 25, 0, 4},
                    Picture{"LightOnDarkGradient", 251, 239, 6.7, 18, 16, 200, 20, -60, 2},
                    Picture{"SmallestBinarised", 40, 40, 1.3, 1, 1, 0, 255, 0, 0},
                    Picture{"JustAboveSmallest", 41, 43, 1.35, 1, 2, 10, 240, 0, 3},
                    Picture{"SmallNotMultipleOfEight", 47, 45, 1.5, 1, 0, 0, 200, 40, 0}),
    [](const testing::TestParamInfo<Picture>& info) { return std::string(info.param.name); });

TEST(BinarizeLocalAverage, LeavesSmallPicturesToZxing) {
  // Below 40 pixels a side ZXing binarises by one histogram instead of by blocks.
  EXPECT_FALSE(BinarizedHere(GreyImage{39, 200, std::vector<uint8_t>(39 * 200)}));
  EXPECT_FALSE(BinarizedHere(GreyImage{200, 39, std::vector<uint8_t>(200 * 39)}));
  EXPECT_TRUE(BinarizedHere(GreyImage{40, 40, std::vector<uint8_t>(40 * 40)}));
}

// A flat picture has no contrast anywhere: only pure black (for the inverted
// look pure white) stays black, whatever the picture's size.
TEST(BinarizeLocalAverage, FlatPicturesAreWhiteUnlessBlack) {
  struct Case {
    uint8_t shade;
    bool inverted;
    uint8_t expected;
  };
  for (const Case c : {Case{0, false, 0}, Case{1, false, 255}, Case{128, false, 255}, Case{255, false, 255},
                       Case{255, true, 0}, Case{254, true, 255}, Case{128, true, 255}, Case{0, true, 255}}) {
    const GreyImage flat{61, 45, std::vector<uint8_t>(61 * 45, c.shade)};
    const std::vector<uint8_t> out = BinarizeLocalAverage(flat, c.inverted);
    EXPECT_EQ(std::count(out.begin(), out.end(), c.expected), static_cast<long>(out.size()))
        << "shade " << int{c.shade} << (c.inverted ? " inverted" : "");
  }
}

}  // namespace
