// Random secrets from libcrypto's RAND_bytes (or a test's replacement).
#include "random_seed.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>
#include <mutex>
#include <utility>

namespace sources {
namespace {

std::mutex sourceMutex;
std::function<bool(uint8_t*, std::size_t)> sourceOverride;

bool SystemRandom(uint8_t* bytes, std::size_t count) {
  if (count > static_cast<std::size_t>(INT_MAX)) return false;
  return RAND_bytes(bytes, static_cast<int>(count)) == 1;
}

bool DrawRandom(uint8_t* bytes, std::size_t count) {
  std::function<bool(uint8_t*, std::size_t)> source;
  {
    std::lock_guard lock(sourceMutex);
    source = sourceOverride;
  }
  return source ? source(bytes, count) : SystemRandom(bytes, count);
}

}  // namespace

std::optional<std::string> RandomSeedText(std::size_t byteCount, seed::SeedEncoding encoding) {
  std::vector<uint8_t> bytes(byteCount);
  if (!DrawRandom(bytes.data(), bytes.size())) {
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return std::nullopt;
  }
  std::string text;
  if (encoding == seed::SeedEncoding::Base32) {
    text.assign((8 * byteCount + 4) / 5, '\0');
    seed::Base32Encode(bytes.data(), bytes.size(), text.data());
  } else {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text.reserve(2 * byteCount);
    for (uint8_t byte : bytes) {
      text.push_back(kDigits[byte >> 4]);
      text.push_back(kDigits[byte & 0x0F]);
    }
  }
  // Only the text form of the secret outlives the call.
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return text;
}

void SetRandomSource(std::function<bool(uint8_t*, std::size_t)> source) {
  std::lock_guard lock(sourceMutex);
  sourceOverride = std::move(source);
}

}  // namespace sources
