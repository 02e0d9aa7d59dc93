// The seed file's line parser over any file content, line by line as the
// loader reads it: an entry's serial number and secret are the two sides of
// the line's first comma, and its secret decodes.
#include "base32.h"
#include "seed_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

bool Inside(std::string_view part, std::string_view line) {
  return part.data() >= line.data() && part.data() + part.size() <= line.data() + line.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view line = content.substr(start, end - start);
    start = end + 1;

    sources::SeedLine parsed;
    const sources::LineKind kind = sources::ParseSeedLine(line, &parsed);
    if (sources::ParseSeedLine(line, nullptr) != kind) std::abort();
    if (kind == sources::LineKind::Bad) break;
    if (kind == sources::LineKind::Skip) continue;

    if (!Inside(parsed.serial, line) || !Inside(parsed.secret, line)) std::abort();
    if (parsed.serial.find(',') != std::string_view::npos) std::abort();
    if (parsed.serial.data() + parsed.serial.size() + 1 != parsed.secret.data()) std::abort();
    if (!parsed.secret.empty() && parsed.secret.back() == '\r') std::abort();
    const std::string secret(parsed.secret);
    const auto bytes = std::make_unique<uint8_t[]>(512);
    if (seed::Base32Decode(secret.c_str(), bytes.get()) <= 0) std::abort();
  }
  return 0;
}
