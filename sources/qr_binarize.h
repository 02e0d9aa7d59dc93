// ZXing's LocalAverage binarisation of a grey picture, for the recogniser's
// full-size looks; internal to the sources library.
#pragma once

#include "qr_scan.h"

#include <cstdint>
#include <vector>

namespace sources::detail {

// ZXing's LocalAverage binarizer, computed here for the full-size looks: its
// block statistics serve the picture and its inversion alike, so the inverted
// look needs neither an inverted copy of the picture nor a second pass over
// it. The result is the same black and white that ZXing would compute,
// handed over as 0 (black) and 255 (white) to its BoolCast binarizer.
// Blocks of 8 x 8 pixels; the last column and row of blocks sit flush with
// the picture's right and bottom edges and so overlap their neighbours, and
// where they overlap, the later block's threshold is the one that counts.
constexpr int kBlock = 8;
constexpr int kMinBinarizedSide = 5 * kBlock;  // smaller pictures ZXing binarises another way
constexpr int kMinDynamicRange = 24;

struct BlockStats {
  int columns = 0;
  int rows = 0;
  std::vector<int> sum;      // of the 64 pixels
  std::vector<uint8_t> min;  // darkest and lightest pixel
  std::vector<uint8_t> max;
};

// The block statistics, measured once for the picture and its inversion.
BlockStats MeasureBlocks(const GreyImage& image);

// Black (0) where the pixel, or for the inverted look 255 minus the pixel, is
// at most its block's threshold; white (255) elsewhere. out holds width *
// height bytes.
void Binarize(const GreyImage& image, const BlockStats& stats, bool inverted, uint8_t* out);

// Whether ZXing would binarise the picture by blocks at all.
inline bool BinarizedHere(const GreyImage& image) {
  return image.width >= kMinBinarizedSide && image.height >= kMinBinarizedSide;
}

// The same in one call, for pictures that BinarizedHere accepts.
std::vector<uint8_t> BinarizeLocalAverage(const GreyImage& image, bool inverted);

}  // namespace sources::detail
