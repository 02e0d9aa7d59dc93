// Image files to grey pixels (stb_image) and QR recognition of grey images
// (ZXing-cpp, QR codes only).
#include "qr_scan.h"

#include "qr_binarize.h"

// Byte access only; the define keeps ZXing 1.4 from warning about text().
#define ZX_USE_UTF8
#include <ReadBarcode.h>
#include <stb_image.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

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

// Only PNG and JPEG content goes to the decoder, told by its signature: the
// decoders of stb_image's other formats have known out-of-bounds reads.
constexpr uint8_t kPngSignature[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint8_t kJpegSignature[] = {0xFF, 0xD8, 0xFF};
constexpr std::size_t kSignatureBytes = sizeof kPngSignature;

bool PngOrJpeg(const uint8_t* head, std::size_t length) {
  return (length >= sizeof kPngSignature && std::memcmp(head, kPngSignature, sizeof kPngSignature) == 0) ||
         (length >= sizeof kJpegSignature && std::memcmp(head, kJpegSignature, sizeof kJpegSignature) == 0);
}

}  // namespace

std::optional<GreyImage> LoadGreyImageFromMemory(const uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  if (!PngOrJpeg(data, size)) return std::nullopt;
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
  uint8_t head[kSignatureBytes] = {};
  const std::size_t headLength = std::fread(head, 1, sizeof head, file.get());
  if (!PngOrJpeg(head, headLength) || std::fseek(file.get(), 0, SEEK_SET) != 0) return std::nullopt;
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

ZXing::ImageView ViewOf(const std::vector<uint8_t>& pixels, int width, int height) {
  return ZXing::ImageView(pixels.data(), width, height, ZXing::ImageFormat::Lum);
}

// Adds a row of pixels to running column sums; the restrict pointers let the
// compiler vectorise it.
void AddRow(const uint8_t* __restrict row, uint16_t* __restrict sum, int width) {
  for (int x = 0; x < width; ++x) sum[x] = static_cast<uint16_t>(sum[x] + row[x]);
}

// The mean of each factor x factor block, as ZXing builds its smaller copies.
// The column sums over the block's rows come first, so that the inner loops
// run along rows.
std::vector<uint8_t> Downscaled(const GreyImage& image, int* width, int* height) {
  *width = image.width / kDownscaleFactor;
  *height = image.height / kDownscaleFactor;
  std::vector<uint8_t> out(static_cast<std::size_t>(*width) * static_cast<std::size_t>(*height));
  constexpr int kArea = kDownscaleFactor * kDownscaleFactor;
  static_assert(kDownscaleFactor * 255 <= UINT16_MAX, "a column's sum fits its 16 bits");
  const int used = *width * kDownscaleFactor;
  std::vector<uint16_t> columnSum(static_cast<std::size_t>(used));
  for (int y = 0; y < *height; ++y) {
    std::fill(columnSum.begin(), columnSum.end(), uint16_t{0});
    for (int dy = 0; dy < kDownscaleFactor; ++dy) {
      AddRow(&image.pixels[static_cast<std::size_t>(y * kDownscaleFactor + dy) * image.width], columnSum.data(), used);
    }
    uint8_t* row = &out[static_cast<std::size_t>(y) * *width];
    for (int x = 0; x < *width; ++x) {
      int sum = kArea / 2;
      for (int dx = 0; dx < kDownscaleFactor; ++dx) sum += columnSum[x * kDownscaleFactor + dx];
      row[x] = static_cast<uint8_t>(sum / kArea);
    }
  }
  return out;
}

// A picture-sized scratch area mapped for itself, with huge pages where the
// kernel offers them. Fresh pages are costly to fault in one by one (some
// 20 ms for a 4K picture on a virtual machine), and malloc hands a second
// large block on a short-lived thread back to the kernel at each free.
class ScratchPicture {
 public:
  explicit ScratchPicture(std::size_t size) : size_(RoundUp(std::max<std::size_t>(size, 1), kHugePage)) {
    void* mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(mapped);
    // Advice only: without transparent huge pages the area is used as it is.
    (void)madvise(data_, size_, MADV_HUGEPAGE);
  }
  ~ScratchPicture() { munmap(data_, size_); }
  ScratchPicture(const ScratchPicture&) = delete;
  ScratchPicture& operator=(const ScratchPicture&) = delete;

  uint8_t* data() { return data_; }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static std::size_t RoundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }
  std::size_t size_;
  uint8_t* data_ = nullptr;
};

// The ways of looking at a picture, in the order their findings count: the
// first way that finds anything decides, and the later ones are not used.
enum Way { kLocalAverage, kFixedThreshold, kInverted, kWayCount };

// Each way looks at the picture itself and at its downscaled copies (for very
// large modules); a code seen in both is counted once. Two workers take the
// looks in this order, side by side, and skip those of a way after one that
// has found something. The later ways' looks at the full picture, the long
// ones, wait until the first way's look at it is done (the inverted one
// binarises its picture while it waits): a picture with a code then costs
// that look and the copies beside it, and one without a code keeps both
// workers busy.
struct Look {
  Way way;
  bool copies;
};
constexpr Look kLooks[] = {
    {kLocalAverage, false}, {kLocalAverage, true},  {kFixedThreshold, true},
    {kInverted, true},      {kInverted, false},     {kFixedThreshold, false},
};
constexpr std::size_t kLookCount = std::size(kLooks);
static_assert(!kLooks[0].copies && kLooks[0].way == kLocalAverage, "the first look is the one the others wait for");

class Recognition {
 public:
  explicit Recognition(const GreyImage& image)
      : image_(image),
        withCopies_(std::max(image.width, image.height) > kDownscaleThreshold &&
                    std::min(image.width, image.height) >= kDownscaleFactor),
        binarizeHere_(detail::BinarizedHere(image)) {}

  // Takes the next look until none is left.
  void Work() {
    for (std::size_t i; (i = next_.fetch_add(1)) < kLookCount;) {
      const Look& look = kLooks[i];
      if (look.copies && !withCopies_) continue;
      if (i == 0) {
        // Wakes the waiting worker also when the look throws.
        const struct FirstLookDone {
          std::atomic<bool>& done;
          ~FirstLookDone() {
            done.store(true);
            done.notify_all();
          }
        } signal{firstLookDone_};
        Take(i);
        continue;
      }
      if (!look.copies) {
        // A worker that would only wait binarises the inverted picture in the
        // meantime; a picture with a code then loses nothing but idle time.
        if (look.way == kInverted && !firstLookDone_.load()) BinarizeInvertedEarly();
        firstLookDone_.wait(false);
      }
      bool settled = false;
      for (int earlier = 0; earlier < look.way; ++earlier) settled = settled || found_[earlier].load();
      if (!settled) Take(i);
    }
  }

  // The codes of the first way that found any; call after every worker is done.
  std::vector<QrCode> Codes() {
    for (int way = 0; way < kWayCount; ++way) {
      std::vector<QrCode> codes = WayCodes(static_cast<Way>(way));
      if (!codes.empty()) return codes;
    }
    return {};
  }

 private:
  void Take(std::size_t i) {
    const Look& look = kLooks[i];
    passes_[i] = look.copies ? ReadCopies(look.way) : ReadPicture(look.way);
    taken_[i] = true;
    if (passes_[i].threw || !passes_[i].results.empty()) found_[look.way].store(true);
  }

  static std::size_t Index(Way way, bool copies) {
    return static_cast<std::size_t>(std::find_if(std::begin(kLooks), std::end(kLooks),
                                                 [&](const Look& l) { return l.way == way && l.copies == copies; }) -
                                    std::begin(kLooks));
  }

  // The inverted look's picture, binarised while the first look still runs;
  // only the worker that takes the inverted look touches it.
  void BinarizeInvertedEarly() {
    if (!binarizeHere_) return;
    std::call_once(statsOnce_, [this] { stats_ = detail::MeasureBlocks(image_); });
    invertedEarly_ = std::make_unique<ScratchPicture>(image_.pixels.size());
    detail::Binarize(image_, stats_, true, invertedEarly_->data());
  }

  Pass ReadPicture(Way way) {
    if (way == kFixedThreshold) {
      return Read(ViewOf(image_.pixels, image_.width, image_.height), false, ZXing::Binarizer::FixedThreshold);
    }
    const bool inverted = way == kInverted;
    if (binarizeHere_) {
      std::call_once(statsOnce_, [this] { stats_ = detail::MeasureBlocks(image_); });
      uint8_t* binarized = nullptr;
      if (inverted && invertedEarly_) {
        binarized = invertedEarly_->data();
      } else {
        // The first look maps the area; the inverted look starts only after
        // the first one is done, and takes the same area over.
        if (!binarized_) binarized_ = std::make_unique<ScratchPicture>(image_.pixels.size());
        binarized = binarized_->data();
        detail::Binarize(image_, stats_, inverted, binarized);
      }
      return Read(ZXing::ImageView(binarized, image_.width, image_.height, ZXing::ImageFormat::Lum), false,
                  ZXing::Binarizer::BoolCast);
    }
    if (!inverted) return Read(ViewOf(image_.pixels, image_.width, image_.height), false, ZXing::Binarizer::LocalAverage);
    std::vector<uint8_t> pixels(image_.pixels.size());
    std::transform(image_.pixels.begin(), image_.pixels.end(), pixels.begin(),
                   [](uint8_t v) { return static_cast<uint8_t>(255 - v); });
    return Read(ViewOf(pixels, image_.width, image_.height), false, ZXing::Binarizer::LocalAverage);
  }

  Pass ReadCopies(Way way) {
    std::call_once(copyOnce_, [this] { copy_ = Downscaled(image_, &copyWidth_, &copyHeight_); });
    if (way == kFixedThreshold) {
      return Read(ViewOf(copy_, copyWidth_, copyHeight_), true, ZXing::Binarizer::FixedThreshold);
    }
    if (way == kLocalAverage) {
      return Read(ViewOf(copy_, copyWidth_, copyHeight_), true, ZXing::Binarizer::LocalAverage);
    }
    // The rounded mean of inverted pixels is 255 minus the rounded mean of the
    // pixels, so inverting the copy gives the inverted picture's copy.
    std::vector<uint8_t> inverted(copy_.size());
    std::transform(copy_.begin(), copy_.end(), inverted.begin(), [](uint8_t v) { return static_cast<uint8_t>(255 - v); });
    return Read(ViewOf(inverted, copyWidth_, copyHeight_), true, ZXing::Binarizer::LocalAverage);
  }

  // The picture's codes in ZXing's order, then those that only the copies
  // show. An exception in the picture's look stands for the whole way; one in
  // the copies leaves the picture's codes.
  std::vector<QrCode> WayCodes(Way way) {
    const std::size_t full = Index(way, false);
    if (!taken_[full]) return {};
    bool threw = passes_[full].threw;
    ZXing::Results results = std::move(passes_[full].results);
    const std::size_t copies = Index(way, true);
    if (!threw && withCopies_ && taken_[copies]) {
      threw = passes_[copies].threw;
      for (ZXing::Result& result : passes_[copies].results) {
        result.setPosition(ZXing::Scale(result.position(), image_.width / copyWidth_));
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

  const GreyImage& image_;
  const bool withCopies_;
  const bool binarizeHere_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> found_[kWayCount] = {};
  std::atomic<bool> firstLookDone_{false};
  // Each slot is written by the worker that took the look and read after the join.
  Pass passes_[kLookCount];
  bool taken_[kLookCount] = {};
  std::once_flag copyOnce_;
  std::vector<uint8_t> copy_;
  int copyWidth_ = 0;
  int copyHeight_ = 0;
  std::once_flag statsOnce_;
  detail::BlockStats stats_;
  std::unique_ptr<ScratchPicture> binarized_;
  std::unique_ptr<ScratchPicture> invertedEarly_;
};

// Joins the helper also when this thread's looks throw.
struct JoinOnExit {
  std::thread& thread;
  ~JoinOnExit() {
    if (thread.joinable()) thread.join();
  }
};

}  // namespace

std::vector<QrCode> RecogniseQrCodes(const GreyImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
    return {};
  }
  Recognition recognition(image);
  // The helper's exception (memory exhausted) is passed on after the join.
  std::exception_ptr helperFailure;
  {
    std::thread helper;
    try {
      helper = std::thread([&recognition, &helperFailure] {
        try {
          recognition.Work();
        } catch (...) {
          helperFailure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No second thread to be had: this thread takes every look.
    }
    const JoinOnExit join{helper};
    recognition.Work();
  }
  if (helperFailure) std::rethrow_exception(helperFailure);
  return recognition.Codes();
}

}  // namespace sources
