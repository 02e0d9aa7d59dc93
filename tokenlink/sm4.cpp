// SM4 through libcrypto; the MAC, padding and protected-APDU layout are the
// token protocol's own and live here only.
#include "sm4.h"

#include <openssl/evp.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>

#include "wipe.h"

namespace tokenlink {
namespace {

// A short APDU's Lc is one byte, and a protected command's Lc counts the MAC.
constexpr std::size_t kMaxProtectedData = 255 - 4;

std::atomic<CryptoFailureHook> g_failureHook{nullptr};

bool StepFails(CryptoStep step) {
  const CryptoFailureHook hook = g_failureHook.load();
  return hook != nullptr && hook(step);
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// ECB over whole blocks; the key schedule is built afresh for every call.
bool RunSm4Ecb(const uint8_t key[16], const uint8_t* in, std::size_t length, uint8_t* out, bool encrypt) {
  if (StepFails(CryptoStep::Cipher)) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  if (EVP_CipherInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1) return false;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int written = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(length)) != 1) return false;
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + written, &tail) != 1) return false;
  return static_cast<std::size_t>(written + tail) == length;
}

}  // namespace

int Sm4EcbCrypt(const uint8_t key[16], const uint8_t* input, std::size_t length, uint8_t* output,
                std::size_t* capacity, int direction) {
  if (key == nullptr || input == nullptr || output == nullptr || capacity == nullptr || length == 0 ||
      length % 16 != 0)
    return -1;
  if (direction != kSm4Encrypt && direction != kSm4Decrypt) return -2;
  if (*capacity < length) {
    *capacity = length;
    return 8;
  }
  if (!RunSm4Ecb(key, input, length, output, direction == kSm4Encrypt)) return -1;
  *capacity = length;
  return 0;
}

void SetCryptoFailureHook(CryptoFailureHook hook) { g_failureHook.store(hook); }

std::vector<uint8_t> PadIso9797M2(const uint8_t* data, std::size_t length) {
  // Allocated once at its final size: the block may be a seed, and a growing
  // vector would leave copies of it behind in freed memory.
  std::vector<uint8_t> padded(length + 1 + (15 - length % 16), 0x00);
  if (length > 0) std::memcpy(padded.data(), data, length);
  padded[length] = 0x80;
  return padded;
}

int Sm4Mac(const uint8_t key[16], uint8_t chain[16], const uint8_t* data, std::size_t length,
           uint8_t* output, std::size_t* capacity) {
  if (*capacity < 4) {
    *capacity = 4;
    return 1;
  }
  std::vector<uint8_t> padded = PadIso9797M2(data, length);
  WipeAtScopeEnd wipePadded(padded);
  for (std::size_t offset = 0; offset < padded.size(); offset += 16) {
    for (int i = 0; i < 16; ++i) chain[i] ^= padded[offset + i];
    if (!RunSm4Ecb(key, chain, 16, chain, true)) return -1;
  }
  std::memcpy(output, chain, 4);
  *capacity = 4;
  return 0;
}

bool ComputeDigest(int algorithm, const uint8_t* data, long length, uint8_t* output) {
  if (data == nullptr || output == nullptr || length < 0) return false;
  const EVP_MD* md = algorithm == kDigestSha1 ? EVP_sha1() : algorithm == kDigestSha256 ? EVP_sha256() : nullptr;
  if (md == nullptr) return false;
  // Digested into a buffer of its own, so that a failure leaves the output as it was.
  std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
  WipeAtScopeEnd wipeDigest(digest);
  unsigned int written = 0;
  if (StepFails(CryptoStep::Digest) ||
      EVP_Digest(data, static_cast<std::size_t>(length), digest.data(), &written, md, nullptr) != 1 ||
      written != static_cast<unsigned int>(EVP_MD_get_size(md)))
    return false;
  std::memcpy(output, digest.data(), written);
  return true;
}

void HexToBytes(const char* text, uint8_t* output) {
  auto nibble = [](char c) -> unsigned {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return 0xFF;
  };
  if (text == nullptr || output == nullptr) return;
  const std::size_t length = std::strlen(text);
  for (std::size_t i = 0; i < length / 2; ++i)
    output[i] = static_cast<uint8_t>((nibble(text[2 * i]) * 16 + nibble(text[2 * i + 1])) % 256);
}

std::string BytesToHex(const uint8_t* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0x0F]);
  }
  return text;
}

std::vector<uint8_t> BuildProtectedApdu(const uint8_t key[16], uint8_t ins, uint8_t p1, uint8_t p2,
                                        const uint8_t* data, std::size_t length) {
  if (length > kMaxProtectedData) return {};
  std::vector<uint8_t> macInput = {0x80, ins, p1, p2, static_cast<uint8_t>(length)};
  macInput.insert(macInput.end(), data, data + length);
  std::array<uint8_t, 16> chain{};
  WipeAtScopeEnd wipeChain(chain);
  std::array<uint8_t, 4> mac{};
  std::size_t macCapacity = mac.size();
  if (Sm4Mac(key, chain.data(), macInput.data(), macInput.size(), mac.data(), &macCapacity) != 0) return {};

  std::vector<uint8_t> apdu = {0x84, ins, p1, p2, static_cast<uint8_t>(length + 4)};
  apdu.insert(apdu.end(), data, data + length);
  apdu.insert(apdu.end(), mac.begin(), mac.end());
  return apdu;
}

}  // namespace tokenlink
