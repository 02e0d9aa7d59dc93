// AES-256-GCM and HMAC-SHA256 through libcrypto; every result is looked at.
#include "pool_crypto.h"

#include "durable_file.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pool {
namespace {

constexpr std::string_view kSealLabel = "orvex_pool: secret encryption";
constexpr std::string_view kMacLabel = "orvex_pool: secret identity";
constexpr std::string_view kCheckLabel = "orvex_pool: key check";
constexpr std::string_view kCheckText = "orvex_pool key check value";
constexpr std::string_view kAadPrefix = "orvex_pool row v1";

std::array<uint8_t, kPoolKeyBytes> HmacSha256(const uint8_t* key, std::size_t keyLength, const uint8_t* data,
                                              std::size_t length) {
  std::array<uint8_t, kPoolKeyBytes> out{};
  unsigned int outLength = 0;
  // HMAC-SHA256 fails only when libcrypto cannot allocate; a zero result then
  // would be a key anyone knows, so the process stops instead.
  if (HMAC(EVP_sha256(), key, static_cast<int>(keyLength), data, length, out.data(), &outLength) == nullptr ||
      outLength != out.size()) {
    std::abort();
  }
  return out;
}

std::array<uint8_t, kPoolKeyBytes> Derive(const std::array<uint8_t, kPoolKeyBytes>& key, std::string_view label) {
  return HmacSha256(key.data(), key.size(), reinterpret_cast<const uint8_t*>(label.data()), label.size());
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct CipherContext {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

std::string Errno(int e) { return std::strerror(e); }

}  // namespace

SecretBytes::~SecretBytes() {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

PoolKey::PoolKey(const std::array<uint8_t, kPoolKeyBytes>& key)
    : m_sealKey(Derive(key, kSealLabel)), m_macKey(Derive(key, kMacLabel)), m_checkKey(Derive(key, kCheckLabel)) {}

PoolKey::~PoolKey() {
  OPENSSL_cleanse(m_sealKey.data(), m_sealKey.size());
  OPENSSL_cleanse(m_macKey.data(), m_macKey.size());
  OPENSSL_cleanse(m_checkKey.data(), m_checkKey.size());
}

std::optional<PoolKey> PoolKey::FromHex(std::string_view text) {
  if (text.size() == kPoolKeyBytes * 2 + 1 && text.back() == '\n') text.remove_suffix(1);
  if (text.size() != kPoolKeyBytes * 2) return std::nullopt;
  std::array<uint8_t, kPoolKeyBytes> key{};
  for (std::size_t i = 0; i < kPoolKeyBytes; ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    key[i] = static_cast<uint8_t>(high << 4 | low);
  }
  PoolKey made(key);
  OPENSSL_cleanse(key.data(), key.size());
  return made;
}

std::variant<PoolKey, std::string> PoolKey::ReadFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot read pool key file " + path + ": " + Errno(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int e = errno;
    ::close(fd);
    return "cannot read pool key file " + path + ": " + Errno(e);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return "pool key file " + path + " is not a regular file";
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "pool key file " + path + " may be read by others (mode " + mode + "): make it the owner's alone (chmod 600 " +
           path + ")";
  }
  char buffer[kPoolKeyBytes * 2 + 8];
  ssize_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer + total, sizeof buffer - static_cast<std::size_t>(total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      OPENSSL_cleanse(buffer, sizeof buffer);
      return "cannot read pool key file " + path + ": " + Errno(e);
    }
    if (n == 0) break;
    total += n;
    if (static_cast<std::size_t>(total) == sizeof buffer) break;
  }
  ::close(fd);
  std::optional<PoolKey> key = PoolKey::FromHex(std::string_view(buffer, static_cast<std::size_t>(total)));
  OPENSSL_cleanse(buffer, sizeof buffer);
  if (!key) return "pool key file " + path + " does not hold a pool key (64 hexadecimal digits)";
  return std::move(*key);
}

std::variant<PoolKey, std::string> PoolKey::CreateFile(const std::string& path) {
  std::array<uint8_t, kPoolKeyBytes> key{};
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
    return std::string("cannot make a pool key: the random generator failed");
  }
  char text[kPoolKeyBytes * 2 + 1];
  for (std::size_t i = 0; i < kPoolKeyBytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", key[i]);
  text[kPoolKeyBytes * 2] = '\n';
  PoolKey made(key);
  OPENSSL_cleanse(key.data(), key.size());

  std::optional<std::string> why = WriteNewFile(path, text, sizeof text);
  OPENSSL_cleanse(text, sizeof text);
  if (why) return "pool key file: " + *why;
  return made;
}

Bytes PoolKey::CheckValue() const {
  const auto value = HmacSha256(m_checkKey.data(), m_checkKey.size(),
                                reinterpret_cast<const uint8_t*>(kCheckText.data()), kCheckText.size());
  return Bytes(value.begin(), value.end());
}

Bytes PoolKey::SecretMac(const Bytes& secret) const {
  const auto value = HmacSha256(m_macKey.data(), m_macKey.size(), secret.data(), secret.size());
  return Bytes(value.begin(), value.end());
}

std::optional<Bytes> PoolKey::Seal(const Bytes& secret, const Bytes& associatedData) const {
  Bytes sealed(kNonceBytes + secret.size() + kTagBytes);
  if (RAND_bytes(sealed.data(), static_cast<int>(kNonceBytes)) != 1) return std::nullopt;
  CipherContext c;
  int length = 0;
  if (c.ctx == nullptr ||
      EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, m_sealKey.data(), sealed.data()) != 1 ||
      EVP_EncryptUpdate(c.ctx, nullptr, &length, associatedData.data(), static_cast<int>(associatedData.size())) != 1 ||
      EVP_EncryptUpdate(c.ctx, sealed.data() + kNonceBytes, &length, secret.data(), static_cast<int>(secret.size())) != 1 ||
      static_cast<std::size_t>(length) != secret.size() ||
      EVP_EncryptFinal_ex(c.ctx, sealed.data() + kNonceBytes + length, &length) != 1 || length != 0 ||
      EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                          sealed.data() + kNonceBytes + secret.size()) != 1) {
    return std::nullopt;
  }
  return sealed;
}

std::optional<SecretBytes> PoolKey::Unseal(const Bytes& sealed, const Bytes& associatedData) const {
  if (sealed.size() <= kNonceBytes + kTagBytes) return std::nullopt;
  const std::size_t cipherLength = sealed.size() - kNonceBytes - kTagBytes;
  SecretBytes plain{Bytes(cipherLength)};
  Bytes tag(sealed.end() - static_cast<std::ptrdiff_t>(kTagBytes), sealed.end());
  CipherContext c;
  int length = 0;
  if (c.ctx == nullptr ||
      EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, m_sealKey.data(), sealed.data()) != 1 ||
      EVP_DecryptUpdate(c.ctx, nullptr, &length, associatedData.data(), static_cast<int>(associatedData.size())) != 1 ||
      EVP_DecryptUpdate(c.ctx, plain.bytes.data(), &length, sealed.data() + kNonceBytes,
                        static_cast<int>(cipherLength)) != 1 ||
      EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), tag.data()) != 1) {
    return std::nullopt;
  }
  // The tag is checked here: nothing of a changed row is handed out.
  if (EVP_DecryptFinal_ex(c.ctx, plain.bytes.data() + length, &length) != 1) return std::nullopt;
  return plain;
}

Bytes RowAssociatedData(const Bytes& secretMac, const std::optional<std::string>& fixedSerial) {
  Bytes data(kAadPrefix.begin(), kAadPrefix.end());
  data.push_back(0);
  data.insert(data.end(), secretMac.begin(), secretMac.end());
  data.push_back(fixedSerial ? 1 : 0);
  if (fixedSerial) data.insert(data.end(), fixedSerial->begin(), fixedSerial->end());
  return data;
}

}  // namespace pool
