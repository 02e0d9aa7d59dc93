// Base32Decode on any text: the result stays within the 160-byte area, and
// the canonical text of what came out decodes to the same bytes.
#include "base32.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // c_str() ends at the first NUL
  // Exactly the area callers promise, so ASan sees a byte written beyond it.
  const auto bytes = std::make_unique<uint8_t[]>(seed::kMaxSeedBytes);
  const int n = seed::Base32Decode(text.c_str(), bytes.get());
  if (n < 0 || n > static_cast<int>(seed::kMaxSeedBytes)) std::abort();
  if (n == 0) return 0;

  const std::size_t length = (8 * static_cast<std::size_t>(n) + 4) / 5;
  const auto canonical = std::make_unique<char[]>(length + 1);
  if (seed::Base32Encode(bytes.get(), static_cast<std::size_t>(n), canonical.get()) != static_cast<int>(length)) {
    std::abort();
  }
  if (length > seed::kMaxBase32Chars) return 0;
  const auto again = std::make_unique<uint8_t[]>(seed::kMaxSeedBytes);
  if (seed::Base32Decode(canonical.get(), again.get()) != n) std::abort();
  if (std::memcmp(bytes.get(), again.get(), static_cast<std::size_t>(n)) != 0) std::abort();
  return 0;
}
