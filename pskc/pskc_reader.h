// PSKC files as a seed source: recognised by content, every MAC checked before
// any secret is used, a file refused whole with one message when anything in
// it is wrong.
#pragma once
#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "pskc_document.h"

namespace pskc {

// A KeyContainer root in the PSKC namespace, whatever the file is called.
bool LooksLikePskc(const QByteArray& bytes);

// What opens an encrypted file; a plain file needs nothing.
struct Credential {
  enum class Kind { None, PreSharedKey, Password };
  Kind kind = Kind::None;
  QByteArray key;  // the pre-shared key's bytes
  QString password;

  static Credential FromKey(const QByteArray& key) { return {Kind::PreSharedKey, key, {}}; }
  static Credential FromPassword(const QString& password) { return {Kind::Password, {}, password}; }
};

enum class KeyAlgorithm { Totp, Hotp };

struct ReadEntry {
  QString serial;  // DeviceInfo's SerialNo, else the Key's Id
  QByteArray secret;
  Suite algorithm = Suite::Unknown;  // Unknown when the file gives no Suite
  std::optional<int> timeInterval;
  KeyAlgorithm keyAlgorithm = KeyAlgorithm::Totp;
};

struct ReadResult {
  std::vector<ReadEntry> entries;  // empty when error is set
  QString error;
};

ReadResult Read(const QByteArray& bytes, const Credential& credential);

}  // namespace pskc
