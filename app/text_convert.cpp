// Text crossings in the process's narrow encoding (QStringConverter::System),
// the same encoder and decoder in both directions.
#include "text_convert.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace app {
namespace {

// Empty text crosses as empty-but-present, never as a null array.
QByteArray PresentEmpty() { return QByteArray(""); }

}  // namespace

std::optional<QByteArray> WideToAnsi(const QString* text) {
  if (text == nullptr) return std::nullopt;
  QStringEncoder encoder(QStringConverter::System, QStringConverter::Flag::Stateless);
  if (!encoder.isValid()) return std::nullopt;
  if (text->isEmpty()) return PresentEmpty();
  // Characters the encoding cannot hold become its replacement; that is not a failure.
  return QByteArray(encoder.encode(*text));
}

QByteArray WideToAnsi(const QString& text) { return WideToAnsi(&text).value_or(QByteArray()); }

QByteArray WideToAnsiChecked(const QString& text) {
  QStringEncoder encoder(QStringConverter::System, QStringConverter::Flag::Stateless);
  if (!encoder.isValid()) throw TextConversionError("no converter for the system's narrow encoding");
  if (text.isEmpty()) return PresentEmpty();
  return QByteArray(encoder.encode(text));
}

QString AnsiToWide(const char* text) {
  if (text == nullptr || *text == '\0') return QString();
  return AnsiToWide(QByteArray(text));
}

QString AnsiToWide(const QByteArray& text) {
  if (text.isEmpty()) return QString();
  QStringDecoder decoder(QStringConverter::System, QStringConverter::Flag::Stateless);
  return decoder.decode(text);
}

QString BytesToHexText(const uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  QString text;
  if (bytes == nullptr) return text;
  text.reserve(static_cast<qsizetype>(2 * count));
  for (std::size_t i = 0; i < count; ++i) {
    text.append(QLatin1Char(kDigits[bytes[i] >> 4]));
    text.append(QLatin1Char(kDigits[bytes[i] & 0x0F]));
  }
  return text;
}

QString CodeText(int32_t code) { return QString::asprintf("%08X", static_cast<uint32_t>(code)); }

}  // namespace app
