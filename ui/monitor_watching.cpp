#include "monitor_watching.h"

#include <QByteArray>
#include <QtGlobal>

namespace ui {

bool PollingForced() {
  return qEnvironmentVariable("ZERAZADUZU_PCSC_POLLING") == QStringLiteral("1");
}

QString WatchingNote(Watching watching) {
  switch (watching) {
    case Watching::Events:
      return {};
    case Watching::PollingNoEvents:
      return QStringLiteral("The smart-card service gives no reader events: readers and tokens are looked for every 50 ms");
    case Watching::PollingForced:
      return QStringLiteral("Reader events are turned off (ZERAZADUZU_PCSC_POLLING=1): readers and tokens are looked for every 50 ms");
  }
  return {};
}

}  // namespace ui
