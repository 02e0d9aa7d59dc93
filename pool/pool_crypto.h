// The pool key and what it protects: the secrets sealed with AES-256-GCM, the
// keyed MAC that makes a secret unique in the pool without revealing it, and
// the check value that tells a wrong key before any claim is made.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pool {

inline constexpr std::size_t kPoolKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kMacBytes = 32;

using Bytes = std::vector<uint8_t>;

// Bytes that hold a secret: cleansed when they go away.
struct SecretBytes {
  Bytes bytes;
  SecretBytes() = default;
  explicit SecretBytes(Bytes b) : bytes(std::move(b)) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&&) = default;
  SecretBytes& operator=(SecretBytes&&) = default;
  ~SecretBytes();
};

class PoolKey {
 public:
  // 64 hexadecimal digits, a line end after them allowed.
  static std::optional<PoolKey> FromHex(std::string_view text);
  // The key file, refused when its group or others may read it.
  static std::variant<PoolKey, std::string> ReadFile(const std::string& path);
  // A new random key in a new file (mode 0600, on the disk before this
  // returns); refused when the file exists.
  static std::variant<PoolKey, std::string> CreateFile(const std::string& path);

  PoolKey(const PoolKey&) = default;
  PoolKey& operator=(const PoolKey&) = default;
  ~PoolKey();

  // What the pool's meta table holds to recognise its key.
  Bytes CheckValue() const;
  // The secret's identity in the pool: equal secrets, equal MACs.
  Bytes SecretMac(const Bytes& secret) const;
  // Nonce, ciphertext and tag; nothing when libcrypto fails.
  std::optional<Bytes> Seal(const Bytes& secret, const Bytes& associatedData) const;
  // Nothing when the tag does not match: another key, another row's data, or
  // bytes changed in the database.
  std::optional<SecretBytes> Unseal(const Bytes& sealed, const Bytes& associatedData) const;

 private:
  explicit PoolKey(const std::array<uint8_t, kPoolKeyBytes>& key);
  // Each use has a key of its own, derived from the pool key, so that the
  // check value published in the table says nothing about the others.
  std::array<uint8_t, kPoolKeyBytes> m_sealKey{};
  std::array<uint8_t, kPoolKeyBytes> m_macKey{};
  std::array<uint8_t, kPoolKeyBytes> m_checkKey{};
};

// The associated data of a row's sealed secret: the secret's MAC and, for a
// row loaded from a seed file, the serial it was loaded for. A sealed secret
// moved to another row (or a file row's serial changed) no longer opens.
Bytes RowAssociatedData(const Bytes& secretMac, const std::optional<std::string>& fixedSerial);

}  // namespace pool
