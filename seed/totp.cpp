// TOTP codes: HMAC (RFC 2104) over libcrypto's digests, RFC 4226 dynamic
// truncation, and the clock seam that lets tests fix the time.
#include "totp.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <utility>

#include "base32.h"

namespace seed {
namespace {

std::vector<uint8_t> EvpDigest(const EVP_MD* md, const uint8_t* data, std::size_t length) {
  std::vector<uint8_t> out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int outLength = 0;
  // EVP_Digest fails only when libcrypto cannot allocate its context.
  if (EVP_Digest(data, length, out.data(), &outLength, md, nullptr) != 1) throw std::bad_alloc();
  return out;
}

std::vector<uint8_t> Sha1(const uint8_t* data, std::size_t length) { return EvpDigest(EVP_sha1(), data, length); }
std::vector<uint8_t> Sha256(const uint8_t* data, std::size_t length) {
  return EvpDigest(EVP_sha256(), data, length);
}
std::vector<uint8_t> Sha512(const uint8_t* data, std::size_t length) {
  return EvpDigest(EVP_sha512(), data, length);
}

const HashFunction kSha1{64, 20, &Sha1};
const HashFunction kSha256{64, 32, &Sha256};
const HashFunction kSha512{128, 64, &Sha512};

std::mutex clockMutex;
std::function<int64_t()> clockOverride;

int64_t NowSeconds() {
  std::function<int64_t()> clock;
  {
    std::lock_guard lock(clockMutex);
    clock = clockOverride;
  }
  if (clock) return clock();
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Floor division: times before 1970 still land in the step that contains them.
int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

const HashFunction& HashFor(OtpAlgorithm algorithm) {
  switch (algorithm) {
    case OtpAlgorithm::Sha256:
      return kSha256;
    case OtpAlgorithm::Sha512:
      return kSha512;
    case OtpAlgorithm::Sha1:
    default:
      return kSha1;
  }
}

std::vector<uint8_t> HmacDigest(const uint8_t* message, std::size_t messageLength, const uint8_t* key,
                                std::size_t keyLength, const HashFunction& hash) {
  const auto blockSize = static_cast<std::size_t>(hash.blockSize);
  std::vector<uint8_t> paddedKey;
  if (keyLength > blockSize) {
    paddedKey = hash.digest(key, keyLength);
  } else {
    paddedKey.assign(key, key + keyLength);
  }
  paddedKey.resize(blockSize, 0);

  std::vector<uint8_t> block(blockSize + std::max<std::size_t>(messageLength, hash.digestSize));
  for (std::size_t i = 0; i < blockSize; ++i) block[i] = paddedKey[i] ^ 0x36;
  std::copy(message, message + messageLength, block.begin() + blockSize);
  const std::vector<uint8_t> inner = hash.digest(block.data(), blockSize + messageLength);

  for (std::size_t i = 0; i < blockSize; ++i) block[i] = paddedKey[i] ^ 0x5C;
  std::copy(inner.begin(), inner.end(), block.begin() + blockSize);
  std::vector<uint8_t> outer = hash.digest(block.data(), blockSize + inner.size());
  // The padded key and its pads are the secret in another form.
  OPENSSL_cleanse(paddedKey.data(), paddedKey.size());
  OPENSSL_cleanse(block.data(), block.size());
  return outer;
}

uint32_t ComputeTotp(OtpAlgorithm algorithm, uint8_t timeStep, std::string secretText, uint8_t digits,
                     int stepOffset) {
  // A zero step has no counter; refuse it rather than divide by zero.
  if (timeStep == 0) return 0;

  // Secrets that do not decode are hashed as the empty key, as the preview expects.
  uint8_t key[512];
  const int keyLength = Base32Decode(secretText.c_str(), key);

  const HashFunction& hash = HashFor(algorithm);
  const int64_t step = timeStep;
  const int64_t counter = FloorDiv(NowSeconds(), step) + stepOffset;

  uint8_t message[8];
  for (int i = 0; i < 8; ++i) message[i] = static_cast<uint8_t>(static_cast<uint64_t>(counter) >> (56 - 8 * i));

  const std::vector<uint8_t> digest = HmacDigest(message, sizeof message, key, static_cast<std::size_t>(keyLength), hash);
  OPENSSL_cleanse(key, sizeof key);
  const int offset = digest[static_cast<std::size_t>(hash.digestSize) - 1] & 0x0F;
  const uint32_t truncated = (static_cast<uint32_t>(digest[offset] & 0x7F) << 24) |
                             (static_cast<uint32_t>(digest[offset + 1]) << 16) |
                             (static_cast<uint32_t>(digest[offset + 2]) << 8) | digest[offset + 3];

  uint64_t modulus = 1;
  for (int i = 0; i < digits && i < 10; ++i) modulus *= 10;  // 10^10 already exceeds any 31-bit value
  return static_cast<uint32_t>(truncated % modulus);
}

void SetTotpClock(std::function<int64_t()> clock) {
  std::lock_guard lock(clockMutex);
  clockOverride = std::move(clock);
}

}  // namespace seed
