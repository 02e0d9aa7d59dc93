#include "burn_export.h"

#include <QDateTime>
#include <openssl/crypto.h>

#include "base32.h"
#include "text_convert.h"

namespace pooladmin {

QString PaddedBase32(const pool::Bytes& secret) {
  std::string text(secret.size() * 8 / 5 + 9, '\0');
  const int n = seed::Base32Encode(secret.data(), secret.size(), text.data());
  text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  while (text.size() % 8 != 0) text += '=';
  QString padded = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  OPENSSL_cleanse(text.data(), text.size());
  return padded;
}

station::BurnRecord RecordOf(const pool::BurnedSeed& burned) {
  station::BurnRecord record;
  record.serialBytes = QByteArray::fromStdString(burned.serial);
  record.serialNumber = app::AnsiToWide(record.serialBytes);
  record.secretBytes = burned.secret.bytes;
  record.secretText = PaddedBase32(burned.secret.bytes);
  record.choices.timeWindow = burned.timeWindow;
  record.choices.displayTime = burned.displayTime;
  record.choices.algorithm = QByteArray::fromStdString(burned.algorithm);
  record.exportLines = true;
  record.userName = QString::fromStdString(burned.upn);
  record.time = QDateTime::fromMSecsSinceEpoch(burned.burnedAtMs, Qt::UTC);
  return record;
}

QByteArray LineFile(const station::LineFormat& format, const std::vector<station::BurnRecord>& records) {
  QByteArray file;
  if (const std::optional<QByteArray> header = format.Header()) file += *header + "\r\n";
  for (const station::BurnRecord& record : records) {
    if (format.Takes(record)) file += format.Line(record) + "\r\n";
  }
  return file;
}

}  // namespace pooladmin
