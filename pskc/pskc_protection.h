// How a PSKC file protects its secrets: the AES key (pre-shared, or derived
// from a password with PBKDF2), AES-CBC with the IV before the ciphertext, and
// the HMAC over both with a MAC key that the file carries encrypted.
#pragma once
#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace pskc {

inline constexpr char kAes128CbcUri[] = "http://www.w3.org/2001/04/xmlenc#aes128-cbc";
inline constexpr char kAes192CbcUri[] = "http://www.w3.org/2001/04/xmlenc#aes192-cbc";
inline constexpr char kAes256CbcUri[] = "http://www.w3.org/2001/04/xmlenc#aes256-cbc";
inline constexpr char kHmacSha1Uri[] = "http://www.w3.org/2000/09/xmldsig#hmac-sha1";
inline constexpr char kHmacSha256Uri[] = "http://www.w3.org/2001/04/xmldsig-more#hmac-sha256";
inline constexpr char kPbkdf2Uri[] = "http://www.rsasecurity.com/rsalabs/pkcs/schemas/pkcs-5v2-0#pbkdf2";

inline constexpr int kAesBlockBytes = 16;
inline constexpr int kKeyBytes = 16;
inline constexpr int kMacKeyBytes = 20;
inline constexpr int kSaltBytes = 16;
inline constexpr int kMinIterations = 100000;

// libcrypto's primitives, every result looked at; nothing on failure, with the
// reason in *error. Keys of 16, 24 or 32 bytes choose AES-128, -192 or -256.
std::optional<QByteArray> AesCbcEncrypt(const QByteArray& key, const QByteArray& iv,
                                        const QByteArray& plain, QString* error);
std::optional<QByteArray> AesCbcDecrypt(const QByteArray& key, const QByteArray& iv,
                                        const QByteArray& cipher, QString* error);
enum class MacDigest { Sha1, Sha256 };
std::optional<QByteArray> Hmac(MacDigest digest, const QByteArray& key, const QByteArray& data,
                               QString* error);
std::optional<QByteArray> Pbkdf2HmacSha1(const QByteArray& password, const QByteArray& salt,
                                         int iterations, int keyLength, QString* error);

// An encrypted value as PSKC carries it: a fresh random IV, then the
// ciphertext (PKCS#7 padding); and the reverse.
std::optional<QByteArray> EncryptWithRandomIv(const QByteArray& key, const QByteArray& plain,
                                              QString* error);
std::optional<QByteArray> DecryptIvAndCipher(const QByteArray& key, const QByteArray& ivAndCipher,
                                             QString* error);

// The random source (RAND_bytes unless a test replaces it; false is a failure).
std::optional<QByteArray> RandomBytes(int count, QString* error);
void SetRandomSource(std::function<bool(unsigned char*, int)> source);

// One file's protection, made once: the key (derived once for a password), and
// the random MAC key with its encrypted form, so that every rewrite of the file
// carries the same EncryptionKey and MACKey.
class Protection {
 public:
  enum class Kind { PreSharedKey, Password };

  // 32 hex digits; keyName is what the file's ds:KeyName calls the key.
  static std::optional<Protection> FromHexKey(const QString& hexKey, const QString& keyName,
                                              QString* error);
  // A fresh random salt; masterKeyName is the file's xenc11:MasterKeyName.
  static std::optional<Protection> FromPassword(const QString& password, const QString& masterKeyName,
                                                QString* error, int iterations = kMinIterations);

  Protection(const Protection&) = default;
  Protection& operator=(const Protection&) = default;
  Protection(Protection&&) = default;
  Protection& operator=(Protection&&) = default;
  ~Protection();

  Kind kind() const { return m_kind; }
  const QString& keyName() const { return m_keyName; }
  const QByteArray& salt() const { return m_salt; }
  int iterations() const { return m_iterations; }
  // IV followed by the ciphertext of the MAC key, as MACKey carries it.
  const QByteArray& encryptedMacKey() const { return m_encryptedMacKey; }

  // IV followed by the ciphertext, with a fresh IV each time.
  std::optional<QByteArray> Encrypt(const QByteArray& plain, QString* error) const;
  // The ValueMAC of an encrypted value (IV and ciphertext).
  std::optional<QByteArray> Mac(const QByteArray& ivAndCipher, QString* error) const;

 private:
  Protection() = default;
  bool MakeMacKey(QString* error);

  Kind m_kind = Kind::PreSharedKey;
  QString m_keyName;
  QByteArray m_key;
  QByteArray m_macKey;
  QByteArray m_encryptedMacKey;
  QByteArray m_salt;
  int m_iterations = 0;
};

// Wipes a buffer that held key material.
void Wipe(QByteArray* bytes);

}  // namespace pskc
