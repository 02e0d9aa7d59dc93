// The built-in customer key and the reader name chosen with Connect.
#include "app_values.h"

#include <QMutex>
#include <QMutexLocker>

namespace app {
namespace {

QMutex readerNameMutex;
QString& ReaderNameStorage() {
  static QString name;
  return name;
}

}  // namespace

const QString& CustomerKey() {
  static const QString key = QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0");
  return key;
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
