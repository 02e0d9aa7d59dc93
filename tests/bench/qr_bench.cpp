// Prints the codes found in each committed QR fixture, then the median time of
// QR recognition (image loading excluded) on desktop-sized synthetic screens,
// with one otpauth code of several module sizes and without a code, next to
// ZXing's default hints and a quick pass.
#define ZX_USE_UTF8
#include <ReadBarcode.h>

#include "qr_scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using sources::GreyImage;

// Windows with title bars and frames, lines of "text", a little noise.
GreyImage Desktop(int width, int height, uint32_t seed) {
  GreyImage image{width, height, std::vector<uint8_t>(static_cast<std::size_t>(width) * height)};
  uint32_t state = seed;
  auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image.pixels[static_cast<std::size_t>(y) * width + x] =
          static_cast<uint8_t>(60 + (x * 40) / width + (y * 30) / height + (next() >> 29));
    }
  }
  auto fill = [&image](int left, int top, int w, int h, uint8_t v) {
    for (int y = std::max(0, top); y < std::min(image.height, top + h); ++y)
      for (int x = std::max(0, left); x < std::min(image.width, left + w); ++x)
        image.pixels[static_cast<std::size_t>(y) * image.width + x] = v;
  };
  for (int w = 0; w < 9; ++w) {
    const int ww = width / 4 + static_cast<int>(next() % (width / 3));
    const int wh = height / 4 + static_cast<int>(next() % (height / 3));
    const int left = static_cast<int>(next() % (width - ww / 2));
    const int top = static_cast<int>(next() % (height - wh / 2));
    fill(left - 1, top - 1, ww + 2, wh + 2, 90);
    fill(left, top, ww, wh, static_cast<uint8_t>(235 + next() % 20));
    fill(left, top, ww, 28, static_cast<uint8_t>(120 + next() % 80));
    // Lines of glyph-like strokes: 9-pixel letters, 14-pixel line pitch.
    for (int line = top + 40; line + 10 < top + wh; line += 14) {
      int x = left + 8;
      while (x + 8 < left + ww) {
        const int word = 3 + static_cast<int>(next() % 8);
        for (int c = 0; c < word && x + 8 < left + ww; ++c, x += 7) {
          const uint32_t glyph = next();
          for (int s = 0; s < 6; ++s)
            if (glyph >> s & 1) fill(x + (s % 3) * 2, line + (s / 3) * 4, 2, 5, 30);
        }
        x += 7;
      }
    }
  }
  return image;
}

// Nearest-neighbour scaling of the code, on a white window in the middle-right.
void PlaceCode(GreyImage& screen, const GreyImage& code, double scale) {
  const int w = static_cast<int>(code.width * scale);
  const int h = static_cast<int>(code.height * scale);
  const int left = screen.width * 3 / 5;
  const int top = screen.height / 3;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      screen.pixels[static_cast<std::size_t>(top + y) * screen.width + left + x] =
          code.pixels[static_cast<std::size_t>(y / scale) * code.width + static_cast<int>(x / scale)];
}

std::vector<std::string> ZXingPass(const GreyImage& image, bool full) {
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode).setTryHarder(full).setTryDownscale(full).setTryRotate(full);
  std::vector<std::string> texts;
  for (const ZXing::Result& r : ZXing::ReadBarcodes(
           ZXing::ImageView(image.pixels.data(), image.width, image.height, ZXing::ImageFormat::Lum), hints))
    texts.emplace_back(r.bytes().begin(), r.bytes().end());
  return texts;
}

// Codes the station reports in each fixture (decoded ones and all), next to
// ZXing's default hints, which throw on some of the crafted symbols.
void PrintFixtureHits() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(QR_FIXTURE_DIR))
    if (entry.path().extension() == ".png") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::printf("%-26s | %7s %5s | %7s\n", "fixture", "decoded", "codes", "zx-dflt");
  std::size_t decoded = 0, seen = 0;
  for (const auto& file : files) {
    const auto image = sources::LoadGreyImage(file.string());
    if (!image) {
      std::printf("%-26s | not an image\n", file.filename().c_str());
      continue;
    }
    const std::vector<sources::QrCode> codes = sources::RecogniseQrCodes(*image);
    const auto ok = static_cast<std::size_t>(
        std::count_if(codes.begin(), codes.end(), [](const sources::QrCode& c) { return c.decoded; }));
    char zx[16];
    try {
      std::snprintf(zx, sizeof zx, "%zu", ZXingPass(*image, true).size());
    } catch (...) {
      std::snprintf(zx, sizeof zx, "throws");
    }
    std::printf("%-26s | %7zu %5zu | %7s\n", file.filename().c_str(), ok, codes.size(), zx);
    decoded += ok;
    seen += codes.size();
  }
  std::printf("fixtures: %zu codes decoded, %zu seen\n\n", decoded, seen);
}

double MedianMs(int runs, const std::function<std::size_t()>& work, std::size_t* found) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    *found = work();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string fixture = argc > 1 ? argv[1] : std::string(QR_FIXTURE_DIR) + "/small-modules.png";
  const auto code = sources::LoadGreyImage(fixture);  // 2-pixel modules
  if (!code) {
    std::fprintf(stderr, "cannot load %s\n", fixture.c_str());
    return 1;
  }
  PrintFixtureHits();
  struct Screen { int width, height, runs; };
  const Screen screens[] = {{1920, 1080, 21}, {3840, 2160, 11}};
  const double moduleScales[] = {0, 1, 1.5, 2, 4, 8};  // 0: no code; else modules of 2 * scale pixels

  std::printf("%-11s %-9s | %8s %5s | %8s %5s | %8s %5s\n", "screen", "modules", "station", "codes",
              "zx-dflt", "codes", "quick", "codes");
  int lost = 0;
  for (const Screen& s : screens) {
    for (double scale : moduleScales) {
      GreyImage screen = Desktop(s.width, s.height, 7u + static_cast<uint32_t>(scale * 10));
      if (scale > 0) PlaceCode(screen, *code, scale);
      std::size_t ours = 0, full = 0, quick = 0;
      const double tOurs = MedianMs(s.runs, [&] { return sources::RecogniseQrCodes(screen).size(); }, &ours);
      const double tFull = MedianMs(s.runs, [&] { return ZXingPass(screen, true).size(); }, &full);
      const double tQuick = MedianMs(s.runs, [&] { return ZXingPass(screen, false).size(); }, &quick);
      char modules[16];
      if (scale > 0) std::snprintf(modules, sizeof modules, "%g px", 2 * scale);
      else std::snprintf(modules, sizeof modules, "no code");
      std::printf("%4dx%-6d %-9s | %8.1f %5zu | %8.1f %5zu | %8.1f %5zu\n", s.width, s.height, modules, tOurs,
                  ours, tFull, full, tQuick, quick);
      if (ours < full) ++lost;
    }
  }
  std::printf("median milliseconds per image; codes the default hints found and the station lost: %d\n", lost);
  return lost == 0 ? 0 : 2;
}
