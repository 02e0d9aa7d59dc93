// How the monitors learn of readers and tokens: by waiting for the PC/SC
// service's events, or by looking every 50 ms, when the service gives no
// reader events or when the operator turned events off.
#pragma once
#include <QString>

namespace ui {

enum class Watching {
  Events,           // waits for the service's events
  PollingNoEvents,  // the service gives no reader events (an old pcscd)
  PollingForced,    // ZERAZADUZU_PCSC_POLLING=1 in the environment
};

// Any thread: events turned off by the environment (each monitor looks when
// it starts).
bool PollingForced();

// The cause line's tooltip for a way of watching; empty for events.
QString WatchingNote(Watching watching);

}  // namespace ui
