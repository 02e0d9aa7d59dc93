// A PSKC KeyContainer of TOTP tokens, in the shape that privacyIDEA, LinOTP
// and FreeIPA all import: one KeyPackage per token, each secret encrypted and
// MAC-protected, the key named in EncryptionKey.
#pragma once
#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "pskc_protection.h"

namespace pskc {

inline constexpr char kPskcNamespace[] = "urn:ietf:params:xml:ns:keyprov:pskc";
inline constexpr char kDsNamespace[] = "http://www.w3.org/2000/09/xmldsig#";
inline constexpr char kXencNamespace[] = "http://www.w3.org/2001/04/xmlenc#";
inline constexpr char kXenc11Namespace[] = "http://www.w3.org/2009/xmlenc11#";
inline constexpr char kPkcs5Namespace[] = "http://www.rsasecurity.com/rsalabs/pkcs/schemas/pkcs-5v2-0#";
inline constexpr char kTotpUri[] = "urn:ietf:params:xml:ns:keyprov:pskc:totp";
inline constexpr char kHotpUri[] = "urn:ietf:params:xml:ns:keyprov:pskc:hotp";

enum class Suite { Unknown, Sha1, Sha256 };

struct TokenEntry {
  QString serial;
  QByteArray secret;
  Suite algorithm = Suite::Sha1;
  int timeInterval = 30;  // 30 or 60
  int digits = 6;
  QString manufacturer;
  QString model;
};

// A token's entry whose secret is already encrypted under the file's
// protection, so that a rewrite of the file keeps it as it was.
struct SealedEntry {
  TokenEntry token;  // without its secret
  QByteArray encryptedSecret;  // IV and ciphertext
  QByteArray valueMac;
};

// Nothing, with the reason, for an entry the shape does not take (an empty
// serial or secret, another interval, digit count or algorithm).
std::optional<SealedEntry> Seal(const TokenEntry& entry, const Protection& protection, QString* error);

// The whole document, UTF-8.
QByteArray WriteDocument(const std::vector<SealedEntry>& entries, const Protection& protection);
std::optional<QByteArray> BuildDocument(const std::vector<TokenEntry>& entries, const Protection& protection,
                                        QString* error);

}  // namespace pskc
