// Crossings between the window's UTF-16 text and the 8-bit text of the token
// link, the codecs and the files, in the process's narrow encoding both ways.
#pragma once
#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace app {

// Absent in, absent out; a conversion failure gives absent.
std::optional<QByteArray> WideToAnsi(const QString* text);
QByteArray WideToAnsi(const QString& text);

// Raises TextConversionError on failure.
struct TextConversionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
QByteArray WideToAnsiChecked(const QString& text);

QString AnsiToWide(const char* text);
QString AnsiToWide(const QByteArray& text);

// Upper-case hex, two digits a byte, no separators.
QString BytesToHexText(const uint8_t* bytes, std::size_t count);

// A result or PC/SC code as the messages show it: eight upper-case hex digits.
QString CodeText(int32_t code);

}  // namespace app
