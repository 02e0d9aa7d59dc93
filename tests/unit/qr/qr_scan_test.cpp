// Image loading and QR recognition over images made by qrencode and ImageMagick
// (tests/fixtures/qr/make-fixtures.sh holds the payloads they were given).
#include "qr_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using sources::GreyImage;
using sources::LoadGreyImage;
using sources::LoadGreyImageFromMemory;
using sources::QrCode;
using sources::RecogniseQrCodes;

const std::string kOtp =
    "otpauth://totp/Orvex:alice@example.com?secret=JBSWY3DPEHPK3PXP&issuer=Orvex&period=60&algorithm=SHA256";
const std::string kUrl = "https://www.example.com/enrol";
// What ZXing reports for a code it saw but could not decode.
const std::string kFailed = "<failed>";

std::string Fixture(const std::string& name) { return std::string(QR_FIXTURE_DIR) + "/" + name; }

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The codes as texts, sorted: the recogniser's order is its own business here.
std::vector<std::string> Outcome(const std::vector<QrCode>& codes) {
  std::vector<std::string> texts;
  for (const QrCode& code : codes) texts.push_back(code.decoded ? code.payload : kFailed);
  std::sort(texts.begin(), texts.end());
  return texts;
}

struct FixtureCase {
  const char* file;
  std::vector<std::string> codes;  // in any order
};

void PrintTo(const FixtureCase& c, std::ostream* os) { *os << c.file; }

class FixtureOutcome : public testing::TestWithParam<FixtureCase> {};

TEST_P(FixtureOutcome, LoadsAndRecognises) {
  const FixtureCase& c = GetParam();
  const auto image = LoadGreyImage(Fixture(c.file));
  ASSERT_TRUE(image.has_value());
  std::vector<QrCode> codes;
  // The crafted symbols make ZXing throw; nothing may leave the recogniser.
  EXPECT_NO_THROW(codes = RecogniseQrCodes(*image));
  std::vector<std::string> expected = c.codes;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Outcome(codes), expected);
  for (const QrCode& code : codes) {
    if (!code.decoded) {
      EXPECT_EQ(code.payload, "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixtureOutcome,
    testing::Values(
        FixtureCase{"otpauth.png", {kOtp}},
        FixtureCase{"url-and-otpauth.png", {kUrl, kOtp}},
        // A code whose error correction fails is not reported at all.
        FixtureCase{"damaged-and-good.png", {kOtp}},
        FixtureCase{"bad-mode.png", {kFailed}},     // ZXing throws std::invalid_argument
        FixtureCase{"bad-length.png", {kFailed}},   // ZXing throws std::out_of_range
        FixtureCase{"bad-numeric.png", {kFailed}},  // ZXing reports a result with an error
        FixtureCase{"bad-numeric-and-good.png", {kOtp, kFailed}},
        // The exception takes the whole pass with it: one code seen, none decoded.
        FixtureCase{"bad-mode-and-good.png", {kFailed}},
        FixtureCase{"blue-on-white.png", {kOtp}},
        FixtureCase{"inverted.png", {kOtp}},
        FixtureCase{"transparent.png", {kOtp}},
        FixtureCase{"jpeg-in-png.png", {kOtp}},
        FixtureCase{"sixteen-bit.png", {kOtp}},
        // The payload's own bytes (0xFC is Latin-1, not UTF-8), cut at the NUL.
        FixtureCase{"latin1-nul.png", {"otpauth://totp/M\xFCller?secret=GEZDGNBVGY3TQOJQ"}},
        FixtureCase{"no-code.png", {}}),
    [](const testing::TestParamInfo<FixtureCase>& info) {
      std::string name = info.param.file;
      name = name.substr(0, name.find('.'));
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST(LoadGreyImage, RefusesWhatIsNoImage) {
  EXPECT_FALSE(LoadGreyImage(Fixture("not-an-image.png")).has_value());
  EXPECT_FALSE(LoadGreyImage(Fixture("no-such-file.png")).has_value());
  EXPECT_FALSE(LoadGreyImage(QR_FIXTURE_DIR).has_value());  // a directory

  const std::vector<uint8_t> png = ReadBytes(Fixture("otpauth.png"));
  ASSERT_GT(png.size(), 40u);
  EXPECT_FALSE(LoadGreyImageFromMemory(nullptr, 0).has_value());
  EXPECT_FALSE(LoadGreyImageFromMemory(png.data(), 0).has_value());
  EXPECT_FALSE(LoadGreyImageFromMemory(png.data(), 40).has_value());  // header only
}

TEST(LoadGreyImage, OnlyPngAndJpegContentIsDecoded) {
  // The same code as GIF and as BMP, each under a .png name: other formats
  // never reach the image decoder, whatever the name says; JPEG content under
  // a .png name does.
  for (const char* name : {"otpauth-gif.png", "otpauth-bmp.png"}) {
    EXPECT_FALSE(LoadGreyImage(Fixture(name)).has_value()) << name;
    const std::vector<uint8_t> bytes = ReadBytes(Fixture(name));
    ASSERT_FALSE(bytes.empty()) << name;
    EXPECT_FALSE(LoadGreyImageFromMemory(bytes.data(), bytes.size()).has_value()) << name;
  }
  EXPECT_TRUE(LoadGreyImage(Fixture("jpeg-in-png.png")).has_value());
  EXPECT_TRUE(LoadGreyImage(Fixture("otpauth.png")).has_value());
}

TEST(LoadGreyImage, TransparentBackgroundBecomesWhite) {
  // Stored as 0,0,0,0: read as one grey component it would be black.
  const auto image = LoadGreyImage(Fixture("transparent.png"));
  ASSERT_TRUE(image.has_value());
  ASSERT_EQ(image->width, 135);
  ASSERT_EQ(image->height, 135);
  EXPECT_EQ(image->pixels[0], 255);
  EXPECT_EQ(image->pixels.back(), 255);
  // The top-left finder pattern starts after the 4-module, 3-pixel margin.
  EXPECT_EQ(image->pixels[12 * 135 + 12], 0);
  EXPECT_EQ(image->pixels[11 * 135 + 11], 255);
}

TEST(LoadGreyImage, OpaqueImagesKeepTheirGreyValues) {
  const auto eight = LoadGreyImage(Fixture("otpauth.png"));
  const auto sixteen = LoadGreyImage(Fixture("sixteen-bit.png"));
  const auto blue = LoadGreyImage(Fixture("blue-on-white.png"));
  ASSERT_TRUE(eight && sixteen && blue);
  EXPECT_EQ(eight->pixels[12 * 135 + 12], 0);
  EXPECT_EQ(eight->pixels[0], 255);
  // 16-bit samples are read as their 8-bit equivalents.
  EXPECT_EQ(sixteen->width, eight->width);
  EXPECT_EQ(sixteen->pixels, eight->pixels);
  // stb_image's grey of pure blue: (29 * 255) >> 8.
  EXPECT_EQ(blue->pixels[12 * 135 + 12], 28);
  EXPECT_EQ(blue->pixels[0], 255);
}

TEST(LoadGreyImage, FileAndMemoryAgree) {
  for (const char* name : {"otpauth.png", "transparent.png", "jpeg-in-png.png"}) {
    const std::vector<uint8_t> bytes = ReadBytes(Fixture(name));
    const auto fromFile = LoadGreyImage(Fixture(name));
    const auto fromMemory = LoadGreyImageFromMemory(bytes.data(), bytes.size());
    ASSERT_TRUE(fromFile && fromMemory) << name;
    EXPECT_EQ(fromMemory->width, fromFile->width) << name;
    EXPECT_EQ(fromMemory->height, fromFile->height) << name;
    EXPECT_EQ(fromMemory->pixels, fromFile->pixels) << name;
  }
}

// A busy desktop-sized picture: stripes of "text", window frames and noise.
GreyImage Desktop(int width, int height) {
  GreyImage image{width, height, std::vector<uint8_t>(static_cast<std::size_t>(width) * height)};
  uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      uint8_t v = static_cast<uint8_t>(200 + (state >> 28));
      if ((y / 14) % 3 == 1 && (x / 7) % 5 != 0 && ((x * 7 + y * 3) % 11) < 4) v = 40;
      if (x % 400 == 0 || y % 300 == 0) v = 90;
      image.pixels[static_cast<std::size_t>(y) * width + x] = v;
    }
  }
  return image;
}

void Paste(GreyImage& target, const GreyImage& code, int left, int top, int scale) {
  for (int y = 0; y < code.height * scale; ++y) {
    for (int x = 0; x < code.width * scale; ++x) {
      target.pixels[static_cast<std::size_t>(top + y) * target.width + left + x] =
          code.pixels[static_cast<std::size_t>(y / scale) * code.width + x / scale];
    }
  }
}

TEST(RecogniseQrCodes, FindsSmallAndLargeModulesOnAFullScreen) {
  const auto small = LoadGreyImage(Fixture("small-modules.png"));  // 2-pixel modules
  ASSERT_TRUE(small.has_value());
  struct { int scale, left, top; } cases[] = {{1, 1301, 517}, {2, 170, 90}, {8, 700, 200}};
  for (const auto& c : cases) {
    GreyImage screen = Desktop(1920, 1080);
    Paste(screen, *small, c.left, c.top, c.scale);
    EXPECT_EQ(Outcome(RecogniseQrCodes(screen)), std::vector<std::string>{kOtp})
        << "modules of " << 2 * c.scale << " pixels";
  }
}

TEST(RecogniseQrCodes, ReportsEachCodeOfAMixedScreenOnce) {
  // Large modules are seen both at full size and in the downscaled copies.
  const auto small = LoadGreyImage(Fixture("small-modules.png"));  // 2-pixel modules
  const auto pair = LoadGreyImage(Fixture("url-and-otpauth.png"));   // 3-pixel modules
  ASSERT_TRUE(small && pair);
  GreyImage screen = Desktop(1920, 1080);
  Paste(screen, *small, 1700, 900, 1);
  Paste(screen, *pair, 100, 100, 5);
  std::vector<std::string> expected{kOtp, kOtp, kUrl};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Outcome(RecogniseQrCodes(screen)), expected);
}

TEST(RecogniseQrCodes, MalformedImagesGiveNoCodes) {
  EXPECT_TRUE(RecogniseQrCodes(GreyImage{}).empty());
  EXPECT_TRUE(RecogniseQrCodes(GreyImage{10, 10, std::vector<uint8_t>(99, 255)}).empty());
  EXPECT_TRUE(RecogniseQrCodes(GreyImage{-10, -10, {}}).empty());
  EXPECT_TRUE(RecogniseQrCodes(GreyImage{1, 1, {0}}).empty());
  EXPECT_TRUE(RecogniseQrCodes(Desktop(640, 480)).empty());
}

}  // namespace
