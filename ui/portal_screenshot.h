// Screenshots through the desktop portal (org.freedesktop.portal.Screenshot on
// the session bus): the way a Wayland session lets a program see the screen.
#pragma once
#include <QImage>

namespace ui {

// Long enough for a portal that shows no dialog; short enough that the window
// does not seem to hang when the portal never answers.
inline constexpr int kPortalTimeoutMs = 4000;

// Asks for a non-interactive screenshot and loads the file whose URI the
// portal returns. A null picture when there is no session bus or no portal,
// when the portal refuses or fails, when it does not answer within timeoutMs,
// or when its file is not a picture. Window thread only: the window's events
// keep running while it waits; the operator's input waits.
QImage PortalScreenshot(int timeoutMs = kPortalTimeoutMs);

}  // namespace ui
