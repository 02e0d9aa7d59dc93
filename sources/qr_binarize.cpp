// ZXing's LocalAverage binarisation, computed from block statistics that the
// picture and its inversion share.
#include "qr_binarize.h"

#include <algorithm>
#include <cstddef>

namespace sources::detail {
namespace {

int BlockOffset(int block, int side) { return std::min(block * kBlock, side - kBlock); }

// The threshold of each block: the mean of the black points of the 5 x 5
// blocks around it (moved inwards at the edges). A block's black point is its
// mean, or, for a flat block, half its darkest pixel unless its neighbours
// above and to the left suggest a dark area.
std::vector<uint8_t> BlockThresholds(const BlockStats& stats, bool inverted) {
  const int columns = stats.columns;
  const int rows = stats.rows;
  std::vector<int> points(stats.sum.size());
  auto point = [&](int x, int y) -> int& { return points[static_cast<std::size_t>(y) * columns + x]; };
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < columns; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * columns + x;
      const int sum = inverted ? kBlock * kBlock * 255 - stats.sum[i] : stats.sum[i];
      const int low = inverted ? 255 - stats.max[i] : stats.min[i];
      const int high = inverted ? 255 - stats.min[i] : stats.max[i];
      int average = sum / (kBlock * kBlock);
      if (high - low <= kMinDynamicRange) {
        average = low / 2;
        if (y > 0 && x > 0) {
          const int neighbours = (point(x, y - 1) + 2 * point(x - 1, y) + point(x - 1, y - 1)) / 4;
          if (low < neighbours) average = neighbours;
        }
      }
      point(x, y) = average;
    }
  }
  std::vector<uint8_t> thresholds(points.size());
  for (int y = 0; y < rows; ++y) {
    const int top = std::clamp(y, 2, rows - 3);
    for (int x = 0; x < columns; ++x) {
      const int left = std::clamp(x, 2, columns - 3);
      int sum = 0;
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) sum += point(left + dx, top + dy);
      thresholds[static_cast<std::size_t>(y) * columns + x] = static_cast<uint8_t>(sum / 25);
    }
  }
  return thresholds;
}

// The block whose threshold a pixel row or column gets: the last one covering it.
int BlockOf(int position, int side, int blocks) {
  return position >= side - kBlock ? blocks - 1 : position / kBlock;
}

// One row of Binarize; the restrict pointers let the compiler vectorise it.
template <bool kInvertedLook>
void ThresholdRow(const uint8_t* __restrict in, const uint8_t* __restrict threshold, uint8_t* __restrict out,
                  int width) {
  for (int x = 0; x < width; ++x) {
    const bool black = kInvertedLook ? in[x] >= threshold[x] : in[x] <= threshold[x];
    out[x] = black ? 0 : 255;
  }
}

}  // namespace

BlockStats MeasureBlocks(const GreyImage& image) {
  BlockStats stats;
  stats.columns = (image.width + kBlock - 1) / kBlock;
  stats.rows = (image.height + kBlock - 1) / kBlock;
  const std::size_t count = static_cast<std::size_t>(stats.columns) * static_cast<std::size_t>(stats.rows);
  stats.sum.resize(count);
  stats.min.resize(count);
  stats.max.resize(count);
  // Column sums, minima and maxima over the block's 8 rows first, so that the
  // inner loops run along rows.
  std::vector<uint16_t> columnSum(static_cast<std::size_t>(image.width));
  std::vector<uint8_t> columnMin(static_cast<std::size_t>(image.width));
  std::vector<uint8_t> columnMax(static_cast<std::size_t>(image.width));
  for (int by = 0; by < stats.rows; ++by) {
    const uint8_t* top = &image.pixels[static_cast<std::size_t>(BlockOffset(by, image.height)) * image.width];
    std::copy(top, top + image.width, columnMin.begin());
    std::copy(top, top + image.width, columnMax.begin());
    std::copy(top, top + image.width, columnSum.begin());
    for (int dy = 1; dy < kBlock; ++dy) {
      const uint8_t* row = top + static_cast<std::size_t>(dy) * image.width;
      for (int x = 0; x < image.width; ++x) {
        columnSum[x] = static_cast<uint16_t>(columnSum[x] + row[x]);
        columnMin[x] = std::min(columnMin[x], row[x]);
        columnMax[x] = std::max(columnMax[x], row[x]);
      }
    }
    for (int bx = 0; bx < stats.columns; ++bx) {
      const int left = BlockOffset(bx, image.width);
      int sum = 0;
      uint8_t low = 255, high = 0;
      for (int dx = 0; dx < kBlock; ++dx) {
        sum += columnSum[left + dx];
        low = std::min(low, columnMin[left + dx]);
        high = std::max(high, columnMax[left + dx]);
      }
      const std::size_t i = static_cast<std::size_t>(by) * stats.columns + bx;
      stats.sum[i] = sum;
      stats.min[i] = low;
      stats.max[i] = high;
    }
  }
  return stats;
}

void Binarize(const GreyImage& image, const BlockStats& stats, bool inverted, uint8_t* out) {
  const std::vector<uint8_t> thresholds = BlockThresholds(stats, inverted);
  std::vector<uint8_t> rowThreshold(static_cast<std::size_t>(image.width));
  int rowBlock = -1;
  for (int y = 0; y < image.height; ++y) {
    const int by = BlockOf(y, image.height, stats.rows);
    if (by != rowBlock) {
      rowBlock = by;
      for (int x = 0; x < image.width; ++x) {
        const uint8_t t = thresholds[static_cast<std::size_t>(by) * stats.columns + BlockOf(x, image.width, stats.columns)];
        // 255 - p <= t is p >= 255 - t.
        rowThreshold[x] = inverted ? static_cast<uint8_t>(255 - t) : t;
      }
    }
    const uint8_t* in = &image.pixels[static_cast<std::size_t>(y) * image.width];
    if (inverted) {
      ThresholdRow<true>(in, rowThreshold.data(), out + static_cast<std::size_t>(y) * image.width, image.width);
    } else {
      ThresholdRow<false>(in, rowThreshold.data(), out + static_cast<std::size_t>(y) * image.width, image.width);
    }
  }
}

std::vector<uint8_t> BinarizeLocalAverage(const GreyImage& image, bool inverted) {
  std::vector<uint8_t> out(image.pixels.size());
  Binarize(image, MeasureBlocks(image), inverted, out.data());
  return out;
}

}  // namespace sources::detail
