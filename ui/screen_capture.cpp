// Screen capture through Qt's platform plugin or the desktop portal, and the
// grey image of a picture.
#include "screen_capture.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include "portal_screenshot.h"
#include "seam.h"

namespace ui {
namespace {

class SystemCapture : public ScreenCapture {
 public:
  QImage GrabPrimaryScreen() override {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return {};
    // The pixmap holds device pixels; on a scaled desktop its device pixel
    // ratio says so, and the image keeps every pixel.
    return screen->grabWindow(0).toImage();
  }
};

Seam<ScreenCapture> g_seam(SystemScreenCapture);

}  // namespace

ScreenCapture& SystemScreenCapture() {
  static SystemCapture capture;
  return capture;
}

ScreenCapture& ActiveScreenCapture() { return g_seam.Active(); }

void UseScreenCapture(ScreenCapture* capture) { g_seam.Replace(capture); }

QImage CapturePrimaryScreen() {
  QImage picture = ActiveScreenCapture().GrabPrimaryScreen();
  if (picture.isNull()) picture = PortalScreenshot();
  return picture;
}

std::optional<sources::GreyImage> ScreenGreyImage(const QImage& picture) {
  if (picture.isNull()) return std::nullopt;
  const QImage pixels = picture.convertToFormat(QImage::Format_RGB32);
  if (pixels.isNull()) return std::nullopt;
  sources::GreyImage grey;
  grey.width = pixels.width();
  grey.height = pixels.height();
  grey.pixels.resize(static_cast<std::size_t>(grey.width) * static_cast<std::size_t>(grey.height));
  uint8_t* out = grey.pixels.data();
  for (int y = 0; y < grey.height; ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
    for (int x = 0; x < grey.width; ++x) {
      const QRgb p = row[x];
      *out++ = static_cast<uint8_t>((77u * qRed(p) + 150u * qGreen(p) + 29u * qBlue(p)) >> 8);
    }
  }
  return grey;
}

}  // namespace ui
