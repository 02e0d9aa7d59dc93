// Times "Scan Screen" from the press to the secret in the box, on a 1920x1080
// Xvfb screen that it starts itself, with an otpauth code in a window of its
// own beside the station window (emulated PC/SC, no pcscd). Prints the median
// and range, the part above the 333 ms pause, and the capture, grey image and
// recognition one by one. Not a test.
//
//   scan_screen_bench [RUNS]
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "emulated_pcsc.h"
#include "qr_scan.h"
#include "screen_capture.h"
#include "serialized_pcsc.h"
#include "station_test_support.h"
#include "xvfb_display.h"

namespace {

struct Spread {
  double median, low, high;
};

Spread Of(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front(), ms.back()};
}

double Ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

}  // namespace

int main(int argc, char* argv[]) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  XvfbDisplay xvfb;
  if (!xvfb.Start(1920, 1080)) {
    std::fprintf(stderr, "scan_screen_bench: Xvfb could not be started\n");
    return 1;
  }
  qputenv("QT_QPA_PLATFORM", "xcb");
  int qtArgc = 1;
  QApplication application(qtArgc, argv);

  sim::EmulatedPcsc pcsc;
  pcsc.AddReader("Emulated Reader 0");
  tokenlink::UsePcsc(&pcsc);
  MessageRecorder messages;
  CueRecorder cue;
  ui::UseMessages(&messages);
  ui::UseSoundCue(&cue);

  QLabel code;
  code.setWindowFlag(Qt::FramelessWindowHint);
  code.setPixmap(QPixmap(QStringLiteral(QR_FIXTURE_DIR "/otpauth.png")));
  code.move(1500, 200);
  code.show();

  int failures = 0;
  std::vector<double> scans;
  {
    CVantorDlg window;
    window.move(0, 0);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window) || !QTest::qWaitForWindowExposed(&code)) {
      std::fprintf(stderr, "scan_screen_bench: windows not shown\n");
      return 1;
    }
    QTest::qWait(200);
    auto* secret = ControlOf<QLineEdit>(&window, 1047);
    QAction* scan = nullptr;
    for (QAction* action : ControlOf<QToolButton>(&window, 1052)->menu()->actions()) {
      if (action->text() == QLatin1String("Scan Screen")) scan = action;
    }
    for (int i = 0; i < runs; ++i) {
      QElapsedTimer timer;
      timer.start();
      scan->trigger();  // returns once the secret is in the box or a message was shown
      const double ms = Ms(timer);
      if (secret->text() != QLatin1String("JBSWY3DPEHPK3PXP")) ++failures;
      scans.push_back(ms);
      QTest::qWait(100);
    }
  }

  // The parts after the pause, one by one.
  std::vector<double> grabs, greys, recognitions;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer timer;
    timer.start();
    const QImage picture = ui::SystemScreenCapture().GrabPrimaryScreen();
    grabs.push_back(Ms(timer));
    timer.restart();
    const auto grey = ui::ScreenGreyImage(picture);
    greys.push_back(Ms(timer));
    timer.restart();
    const auto codes = grey ? sources::RecogniseQrCodes(*grey) : std::vector<sources::QrCode>{};
    recognitions.push_back(Ms(timer));
    if (codes.empty()) ++failures;
  }

  const QSize screen = QGuiApplication::primaryScreen()->size();
  const Spread total = Of(scans), grab = Of(grabs), grey = Of(greys), recognise = Of(recognitions);
  std::printf("Scan Screen on a %dx%d Xvfb screen, %d runs (%d without the code)\n", screen.width(), screen.height(),
              runs, failures);
  std::printf("  press to secret:   median %7.1f ms  (%.1f .. %.1f)\n", total.median, total.low, total.high);
  std::printf("  above the 333 ms pause: %6.1f ms  (target: at most 150)\n", total.median - 333.0);
  std::printf("  capture:           median %7.1f ms\n", grab.median);
  std::printf("  grey image:        median %7.1f ms\n", grey.median);
  std::printf("  recognition:       median %7.1f ms\n", recognise.median);
  tokenlink::UsePcsc(nullptr);
  return failures == 0 ? 0 : 2;
}
