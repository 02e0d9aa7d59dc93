// Key and password files, and the kind of credential a document names.
#include "pskc_credentials.h"

#include <QFile>
#include <QXmlStreamReader>
#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>

namespace pskc {
namespace {

constexpr qint64 kLongestCredentialFile = 4096;

std::optional<QByteArray> ReadSmallFile(const QString& path, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    return std::nullopt;
  }
  QByteArray bytes = file.read(kLongestCredentialFile + 1);
  if (bytes.size() > kLongestCredentialFile) {
    *error = QStringLiteral("%1 is longer than a key or password file can be").arg(path);
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

std::optional<QByteArray> KeyFromHex(const QByteArray& text) {
  const QByteArray digits = text.trimmed();
  const bool hex = digits.size() == 32 && std::all_of(digits.begin(), digits.end(), [](char c) {
                     return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                   });
  if (!hex) return std::nullopt;
  return QByteArray::fromHex(digits);
}

CredentialFile ReadKeyFile(const QString& path) {
  CredentialFile result;
  std::optional<QByteArray> bytes = ReadSmallFile(path, &result.error);
  if (!bytes) return result;
  if (const std::optional<QByteArray> key = KeyFromHex(*bytes)) {
    result.credential = Credential::FromKey(*key);
  } else {
    result.error = QStringLiteral("%1 does not hold a PSKC key of 32 hexadecimal digits").arg(path);
  }
  OPENSSL_cleanse(bytes->data(), static_cast<std::size_t>(bytes->size()));
  return result;
}

CredentialFile ReadPasswordFile(const QString& path) {
  CredentialFile result;
  std::optional<QByteArray> bytes = ReadSmallFile(path, &result.error);
  if (!bytes) return result;
  QByteArray line = bytes->left(bytes->indexOf('\n') < 0 ? bytes->size() : bytes->indexOf('\n'));
  if (line.endsWith('\r')) line.chop(1);
  if (line.isEmpty()) {
    result.error = QStringLiteral("%1 holds no password on its first line").arg(path);
  } else {
    result.credential = Credential::FromPassword(QString::fromUtf8(line));
  }
  OPENSSL_cleanse(bytes->data(), static_cast<std::size_t>(bytes->size()));
  OPENSSL_cleanse(line.data(), static_cast<std::size_t>(line.size()));
  return result;
}

Credential::Kind NeededCredential(const QByteArray& document) {
  QXmlStreamReader xml(document);
  bool inEncryptionKey = false;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      if (xml.name() == QLatin1String("EncryptionKey")) inEncryptionKey = true;
      if (inEncryptionKey && xml.name() == QLatin1String("DerivedKey")) return Credential::Kind::Password;
      if (inEncryptionKey && xml.name() == QLatin1String("KeyName")) return Credential::Kind::PreSharedKey;
      if (xml.name() == QLatin1String("KeyPackage")) break;
    } else if (xml.isEndElement() && xml.name() == QLatin1String("EncryptionKey")) {
      inEncryptionKey = false;
    }
  }
  return Credential::Kind::None;
}

}  // namespace pskc
