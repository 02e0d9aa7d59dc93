// Digests of the secrets burned in this run.
#include "burned_secrets.h"

#include <algorithm>
#include <openssl/evp.h>

namespace station {

std::optional<QByteArray> BurnedSecrets::Digest(const std::vector<uint8_t>& secret) {
  QByteArray digest(EVP_MAX_MD_SIZE, '\0');
  unsigned int length = 0;
  if (EVP_Digest(secret.data(), secret.size(), reinterpret_cast<unsigned char*>(digest.data()), &length,
                 EVP_sha256(), nullptr) != 1)
    return std::nullopt;
  digest.resize(static_cast<int>(length));
  return digest;
}

std::optional<QString> BurnedSecrets::OtherToken(const QByteArray& digest, const QByteArray& serialBytes) const {
  const auto found = m_tokens.find(digest);
  if (found == m_tokens.end()) return std::nullopt;
  const std::vector<Token>& tokens = found->second;
  // The token holds it already: burning it again gives no second token.
  if (std::any_of(tokens.begin(), tokens.end(), [&](const Token& t) { return t.serialBytes == serialBytes; }))
    return std::nullopt;
  return tokens.back().serialNumber;
}

void BurnedSecrets::Book(const QByteArray& digest, const QByteArray& serialBytes, const QString& serialNumber) {
  // A token holds one secret: burned anew, it no longer holds the one before.
  for (auto it = m_tokens.begin(); it != m_tokens.end();) {
    std::vector<Token>& tokens = it->second;
    std::erase_if(tokens, [&](const Token& t) { return t.serialBytes == serialBytes; });
    it = tokens.empty() ? m_tokens.erase(it) : std::next(it);
  }
  m_tokens[digest].push_back({serialBytes, serialNumber});
}

}  // namespace station
