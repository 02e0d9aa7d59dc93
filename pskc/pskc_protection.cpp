// The AES, HMAC and PBKDF2 of PSKC files, from libcrypto.
#include "pskc_protection.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <memory>
#include <mutex>
#include <utility>

namespace pskc {
namespace {

std::mutex sourceMutex;
std::function<bool(unsigned char*, int)> sourceOverride;

const EVP_CIPHER* CipherForKey(const QByteArray& key, QString* error) {
  switch (key.size()) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default:
      *error = QStringLiteral("an AES key has 16, 24 or 32 bytes, not %1").arg(key.size());
      return nullptr;
  }
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

std::optional<QByteArray> RunCipher(bool encrypt, const QByteArray& key, const QByteArray& iv,
                                    const QByteArray& input, QString* error) {
  const EVP_CIPHER* cipher = CipherForKey(key, error);
  if (!cipher) return std::nullopt;
  if (iv.size() != kAesBlockBytes) {
    *error = QStringLiteral("an AES-CBC IV has 16 bytes, not %1").arg(iv.size());
    return std::nullopt;
  }
  if (!encrypt && (input.isEmpty() || input.size() % kAesBlockBytes != 0)) {
    *error = QStringLiteral("a ciphertext of %1 bytes is not whole AES blocks").arg(input.size());
    return std::nullopt;
  }
  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!context) {
    *error = QStringLiteral("libcrypto could not make a cipher context");
    return std::nullopt;
  }
  const auto* keyBytes = reinterpret_cast<const unsigned char*>(key.constData());
  const auto* ivBytes = reinterpret_cast<const unsigned char*>(iv.constData());
  if (EVP_CipherInit_ex(context.get(), cipher, nullptr, keyBytes, ivBytes, encrypt ? 1 : 0) != 1) {
    *error = QStringLiteral("libcrypto could not start AES-CBC");
    return std::nullopt;
  }
  QByteArray output(input.size() + kAesBlockBytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(output.data());
  int written = 0;
  int last = 0;
  if (EVP_CipherUpdate(context.get(), out, &written,
                       reinterpret_cast<const unsigned char*>(input.constData()),
                       static_cast<int>(input.size())) != 1 ||
      EVP_CipherFinal_ex(context.get(), out + written, &last) != 1) {
    Wipe(&output);
    // On decryption a bad padding is the usual sign of a wrong key.
    *error = encrypt ? QStringLiteral("libcrypto could not encrypt with AES-CBC")
                     : QStringLiteral("AES-CBC decryption failed (wrong key, or the value was altered)");
    return std::nullopt;
  }
  output.truncate(written + last);
  return output;
}

}  // namespace

void Wipe(QByteArray* bytes) {
  if (!bytes->isEmpty()) OPENSSL_cleanse(bytes->data(), static_cast<std::size_t>(bytes->size()));
  bytes->clear();
}

std::optional<QByteArray> AesCbcEncrypt(const QByteArray& key, const QByteArray& iv,
                                        const QByteArray& plain, QString* error) {
  return RunCipher(true, key, iv, plain, error);
}

std::optional<QByteArray> AesCbcDecrypt(const QByteArray& key, const QByteArray& iv,
                                        const QByteArray& cipher, QString* error) {
  return RunCipher(false, key, iv, cipher, error);
}

std::optional<QByteArray> Hmac(MacDigest digest, const QByteArray& key, const QByteArray& data,
                               QString* error) {
  const EVP_MD* md = digest == MacDigest::Sha1 ? EVP_sha1() : EVP_sha256();
  QByteArray mac(EVP_MAX_MD_SIZE, '\0');
  unsigned int length = 0;
  if (!HMAC(md, key.constData(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(data.constData()), static_cast<std::size_t>(data.size()),
            reinterpret_cast<unsigned char*>(mac.data()), &length)) {
    *error = QStringLiteral("libcrypto could not compute the HMAC");
    return std::nullopt;
  }
  mac.truncate(static_cast<qsizetype>(length));
  return mac;
}

std::optional<QByteArray> Pbkdf2HmacSha1(const QByteArray& password, const QByteArray& salt,
                                         int iterations, int keyLength, QString* error) {
  if (iterations < 1 || keyLength < 1 || keyLength > 64) {
    *error = QStringLiteral("PBKDF2 with %1 iterations and a key of %2 bytes is not usable")
                 .arg(iterations)
                 .arg(keyLength);
    return std::nullopt;
  }
  QByteArray key(keyLength, '\0');
  if (PKCS5_PBKDF2_HMAC_SHA1(password.constData(), static_cast<int>(password.size()),
                             reinterpret_cast<const unsigned char*>(salt.constData()),
                             static_cast<int>(salt.size()), iterations, keyLength,
                             reinterpret_cast<unsigned char*>(key.data())) != 1) {
    *error = QStringLiteral("libcrypto could not derive the key with PBKDF2");
    return std::nullopt;
  }
  return key;
}

std::optional<QByteArray> RandomBytes(int count, QString* error) {
  std::function<bool(unsigned char*, int)> source;
  {
    std::lock_guard lock(sourceMutex);
    source = sourceOverride;
  }
  QByteArray bytes(count, '\0');
  auto* out = reinterpret_cast<unsigned char*>(bytes.data());
  const bool drawn = source ? source(out, count) : RAND_bytes(out, count) == 1;
  if (!drawn) {
    *error = QStringLiteral("the random source failed");
    return std::nullopt;
  }
  return bytes;
}

void SetRandomSource(std::function<bool(unsigned char*, int)> source) {
  std::lock_guard lock(sourceMutex);
  sourceOverride = std::move(source);
}

std::optional<QByteArray> EncryptWithRandomIv(const QByteArray& key, const QByteArray& plain,
                                              QString* error) {
  const std::optional<QByteArray> iv = RandomBytes(kAesBlockBytes, error);
  if (!iv) return std::nullopt;
  const std::optional<QByteArray> cipher = AesCbcEncrypt(key, *iv, plain, error);
  if (!cipher) return std::nullopt;
  return *iv + *cipher;
}

std::optional<QByteArray> DecryptIvAndCipher(const QByteArray& key, const QByteArray& ivAndCipher,
                                             QString* error) {
  return AesCbcDecrypt(key, ivAndCipher.left(kAesBlockBytes), ivAndCipher.mid(kAesBlockBytes), error);
}

std::optional<Protection> Protection::FromHexKey(const QString& hexKey, const QString& keyName,
                                                 QString* error) {
  static const QString kHexDigits = QStringLiteral("0123456789abcdefABCDEF");
  bool hex = hexKey.size() == 2 * kKeyBytes;
  for (QChar c : hexKey) hex = hex && kHexDigits.contains(c);
  if (!hex) {
    *error = QStringLiteral("the pre-shared key is not 32 hex digits");
    return std::nullopt;
  }
  if (keyName.isEmpty()) {
    *error = QStringLiteral("the pre-shared key has no name for the file's KeyName");
    return std::nullopt;
  }
  Protection protection;
  protection.m_kind = Kind::PreSharedKey;
  protection.m_keyName = keyName;
  protection.m_key = QByteArray::fromHex(hexKey.toLatin1());
  if (!protection.MakeMacKey(error)) return std::nullopt;
  return protection;
}

std::optional<Protection> Protection::FromPassword(const QString& password, const QString& masterKeyName,
                                                   QString* error, int iterations) {
  if (password.isEmpty()) {
    *error = QStringLiteral("the password is empty");
    return std::nullopt;
  }
  if (iterations < kMinIterations) {
    *error = QStringLiteral("PBKDF2 needs at least %1 iterations, not %2").arg(kMinIterations).arg(iterations);
    return std::nullopt;
  }
  if (masterKeyName.isEmpty()) {
    *error = QStringLiteral("the password has no name for the file's MasterKeyName");
    return std::nullopt;
  }
  Protection protection;
  protection.m_kind = Kind::Password;
  protection.m_keyName = masterKeyName;
  protection.m_iterations = iterations;
  std::optional<QByteArray> salt = RandomBytes(kSaltBytes, error);
  if (!salt) return std::nullopt;
  protection.m_salt = *salt;
  QByteArray passwordBytes = password.toUtf8();
  std::optional<QByteArray> key = Pbkdf2HmacSha1(passwordBytes, *salt, iterations, kKeyBytes, error);
  Wipe(&passwordBytes);
  if (!key) return std::nullopt;
  protection.m_key = *key;
  Wipe(&*key);
  if (!protection.MakeMacKey(error)) return std::nullopt;
  return protection;
}

Protection::~Protection() {
  Wipe(&m_key);
  Wipe(&m_macKey);
}

bool Protection::MakeMacKey(QString* error) {
  std::optional<QByteArray> macKey = RandomBytes(kMacKeyBytes, error);
  if (!macKey) return false;
  const std::optional<QByteArray> encrypted = EncryptWithRandomIv(m_key, *macKey, error);
  if (!encrypted) return false;
  m_macKey = *macKey;
  Wipe(&*macKey);
  m_encryptedMacKey = *encrypted;
  return true;
}

std::optional<QByteArray> Protection::Encrypt(const QByteArray& plain, QString* error) const {
  return EncryptWithRandomIv(m_key, plain, error);
}

std::optional<QByteArray> Protection::Mac(const QByteArray& ivAndCipher, QString* error) const {
  return Hmac(MacDigest::Sha1, m_macKey, ivAndCipher, error);
}

}  // namespace pskc
