// HexToBase32 on any text: it refuses odd lengths and non-hex digits, and
// what it gives decodes back to the bytes the hex digits spell.
#include "base32.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {
int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string hex(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> base32 = seed::HexToBase32(hex);

  std::vector<uint8_t> expected;
  bool valid = hex.size() % 2 == 0;
  for (std::size_t i = 0; valid && i < hex.size(); i += 2) {
    const int high = Nibble(hex[i]);
    const int low = Nibble(hex[i + 1]);
    valid = high >= 0 && low >= 0;
    expected.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  if (base32.has_value() != valid) std::abort();
  if (!valid) return 0;
  if (base32->size() != (8 * expected.size() + 4) / 5) std::abort();
  if (base32->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567") != std::string::npos) std::abort();
  if (expected.empty() || base32->size() > seed::kMaxBase32Chars) return 0;
  const auto bytes = std::make_unique<uint8_t[]>(seed::kMaxSeedBytes);
  const int n = seed::Base32Decode(base32->c_str(), bytes.get());
  if (n != static_cast<int>(expected.size()) || std::memcmp(bytes.get(), expected.data(), expected.size()) != 0) {
    std::abort();
  }
  return 0;
}
