// The screen picture of "Scan Screen", behind a seam so that tests answer it
// with a picture of their own or a null one, and its grey image for the QR
// recogniser. Where Qt cannot see the screen, the desktop portal is asked.
#pragma once
#include <QImage>
#include <optional>

#include "qr_scan.h"

namespace ui {

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  // The primary screen at device pixels; a null picture when the platform
  // does not allow it (Wayland without XWayland, for one).
  virtual QImage GrabPrimaryScreen() = 0;
};

// QScreen::grabWindow(0) on the primary screen.
ScreenCapture& SystemScreenCapture();

ScreenCapture& ActiveScreenCapture();
void UseScreenCapture(ScreenCapture* capture);  // nullptr restores SystemScreenCapture()

// The active capture's picture; when it has none (a Wayland session), the
// desktop portal's screenshot (portal_screenshot.h); a null picture when both
// fail. Window thread only.
QImage CapturePrimaryScreen();

// Grey from all three colours with the luma stb_image gives image files,
// (77 r + 150 g + 29 b) >> 8, so that a code reads the same on screen as in a
// file; nothing for a null picture. Alpha is not looked at: a screen is opaque.
std::optional<sources::GreyImage> ScreenGreyImage(const QImage& picture);

}  // namespace ui
