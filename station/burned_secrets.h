// The secrets burned in this run, kept only as SHA-256 digests of their bytes
// with the serial numbers of the tokens that hold them, so that one secret
// does not reach a second token without the operator's consent: two tokens
// with one secret show the same codes. Never the secret itself.
#pragma once
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace station {

class BurnedSecrets {
 public:
  // SHA-256 of the bytes; nullopt only when libcrypto cannot compute it.
  static std::optional<QByteArray> Digest(const std::vector<uint8_t>& secret);

  // The serial number (as shown) of a token other than serialBytes that this
  // secret was burned into and that still holds it as far as this run knows,
  // the latest one; nullopt when there is none. A secret with no bytes (not
  // Base32) never reaches a token.
  std::optional<QString> OtherToken(const QByteArray& digest, const QByteArray& serialBytes) const;
  void Book(const QByteArray& digest, const QByteArray& serialBytes, const QString& serialNumber);

 private:
  struct Token {
    QByteArray serialBytes;  // as the token reports it; the key
    QString serialNumber;    // as the window shows it
  };
  std::map<QByteArray, std::vector<Token>> m_tokens;  // digest -> tokens, oldest first
};

}  // namespace station
