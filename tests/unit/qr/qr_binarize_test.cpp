// The recogniser's own LocalAverage binarisation against ZXing's: ZXing keeps
// its binarizers out of its public headers, so the two are compared through
// what ZXing reads from the raw picture and from our black and white, and
// pixel by pixel against the same rules done the slow way.
#include "qr_binarize.h"

#define ZX_USE_UTF8
#include <BitMatrix.h>
#include <MultiFormatWriter.h>
#include <ReadBarcode.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
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

void PrintTo(const Picture& p, std::ostream* os) { *os << p.name; }

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

// The binarisation done the slow way, in ZXing's own order: an inverted copy
// for the inverted look, each 8 x 8 block measured by itself where it lies
// (the last ones flush with the right and bottom edges), and every block's
// pixels written in turn, so that a later block overwrites an earlier one.
// Decoding hides a few stray pixels; this catches them.
std::vector<uint8_t> SlowLocalAverage(const GreyImage& image, bool inverted) {
  constexpr int B = 8;
  const int w = image.width, h = image.height;
  std::vector<int> px(image.pixels.begin(), image.pixels.end());
  if (inverted)
    for (int& v : px) v = 255 - v;
  const int cols = (w + B - 1) / B, rows = (h + B - 1) / B;
  auto offset = [](int block, int side) { return std::min(block * B, side - B); };
  std::vector<int> point(static_cast<std::size_t>(cols) * rows);
  auto at = [&](int x, int y) -> int& { return point[static_cast<std::size_t>(y) * cols + x]; };
  for (int by = 0; by < rows; ++by) {
    for (int bx = 0; bx < cols; ++bx) {
      int sum = 0, low = 255, high = 0;
      for (int y = offset(by, h); y < offset(by, h) + B; ++y)
        for (int x = offset(bx, w); x < offset(bx, w) + B; ++x) {
          const int v = px[static_cast<std::size_t>(y) * w + x];
          sum += v;
          low = std::min(low, v);
          high = std::max(high, v);
        }
      int average = sum / (B * B);
      if (high - low <= 24) {
        average = low / 2;
        if (by > 0 && bx > 0) {
          const int around = (at(bx, by - 1) + 2 * at(bx - 1, by) + at(bx - 1, by - 1)) / 4;
          if (low < around) average = around;
        }
      }
      at(bx, by) = average;
    }
  }
  std::vector<uint8_t> out(image.pixels.size(), 255);
  for (int by = 0; by < rows; ++by) {
    for (int bx = 0; bx < cols; ++bx) {
      const int cx = std::clamp(bx, 2, cols - 3), cy = std::clamp(by, 2, rows - 3);
      int sum = 0;
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) sum += at(cx + dx, cy + dy);
      const int threshold = sum / 25;
      for (int y = offset(by, h); y < offset(by, h) + B; ++y)
        for (int x = offset(bx, w); x < offset(bx, w) + B; ++x) {
          const std::size_t i = static_cast<std::size_t>(y) * w + x;
          out[i] = px[i] <= threshold ? 0 : 255;
        }
    }
  }
  return out;
}

// Pixels where two binarisations differ, with the first few named.
std::string Differences(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width) {
  int count = 0;
  std::string first;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    if (++count <= 3) first += " (" + std::to_string(i % width) + "," + std::to_string(i / width) + ")";
  }
  return count ? std::to_string(count) + " pixels differ:" + first : "";
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
  EXPECT_EQ(Differences(ours, SlowLocalAverage(image, false), image.width), "");
  EXPECT_EQ(Differences(oursInverted, SlowLocalAverage(image, true), image.width), "");
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

// Noise of every size from the smallest binarised picture up, so that the
// right and bottom blocks overlap their neighbours by every amount.
TEST(BinarizeLocalAverage, SameAsTheSlowWayOnNoise) {
  uint32_t state = 777;
  auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  for (int width = 40; width <= 56; ++width) {
    for (int height : {40, 43, 47, 48, 61}) {
      GreyImage image{width, height, std::vector<uint8_t>(static_cast<std::size_t>(width) * height)};
      // Full-range noise, or faint noise in which some or all blocks are flat
      // and the neighbour rule comes up.
      const int kind = (width + height) % 3;
      for (uint8_t& v : image.pixels)
        v = static_cast<uint8_t>(kind == 0 ? next() >> 24 : kind == 1 ? 96 + (next() >> 27) : 96 + (next() >> 28));
      for (bool inverted : {false, true}) {
        EXPECT_EQ(Differences(BinarizeLocalAverage(image, inverted), SlowLocalAverage(image, inverted), width), "")
            << width << " x " << height << (inverted ? " inverted" : "");
      }
    }
  }
}

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
