// The customer key (built in, or another customer's given at start) and the
// reader name chosen with Connect.
#include "app_values.h"

#include <QMutex>
#include <QMutexLocker>
#include <algorithm>

namespace app {
namespace {

QMutex readerNameMutex;
QString& ReaderNameStorage() {
  static QString name;
  return name;
}

QString& KeyStorage() {
  static QString key = QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0");
  return key;
}

bool IsHexDigit(QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'); }

}  // namespace

const QString& CustomerKey() { return KeyStorage(); }

bool SetCustomerKey(const QString& hexDigits) {
  if (hexDigits.size() != 32 || !std::all_of(hexDigits.begin(), hexDigits.end(), IsHexDigit)) return false;
  KeyStorage() = hexDigits.toUpper();
  return true;
}

QString SelectedReaderName() {
  QMutexLocker lock(&readerNameMutex);
  return ReaderNameStorage();  // the copy's shared data is reference-counted atomically
}

void SetSelectedReaderName(const QString& name) {
  QMutexLocker lock(&readerNameMutex);
  ReaderNameStorage() = name;
}

}  // namespace app
