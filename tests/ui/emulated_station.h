// The fixture of the window tests that run against emulated readers and
// tokens in-process: one emulated reader behind the PC/SC seam, the sound cue,
// open-file dialog and window clock answered by the test, and every seam put
// back when the test function ends.
#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulated_pcsc.h"
#include "export_set.h"
#include "file_dialogs.h"
#include "pcsc_api.h"
#include "random_seed.h"
#include "screen_capture.h"
#include "seed_file.h"
#include "station_test_support.h"
#include "token_emulator.h"
#include "totp.h"
#include "window_clock.h"

// The seed the token holds, in upper-case hex.
inline QByteArray SeedHex(const sim::TokenEmulator& token) {
  const std::vector<uint8_t> seed = token.Seed();
  return QByteArray(reinterpret_cast<const char*>(seed.data()), static_cast<int>(seed.size())).toHex().toUpper();
}

// Runs action once, from the token's nth event that starts with prefix, on
// the thread that sent the command.
inline void AtTokenEvent(sim::TokenEmulator& token, const std::string& prefix, int nth, std::function<void()> action) {
  auto seen = std::make_shared<std::atomic<int>>(0);
  token.SetChangeListener([seen, prefix, nth, action](const std::string& what) {
    if (what.rfind(prefix, 0) == 0 && ++*seen == nth) action();
  });
}

class EmulatedStationTest : public StationWindowTest {
 protected:
  static inline const std::string kReader = "Emulated Reader 0";
  static inline const QString kReaderText = QString::fromStdString(kReader);

  // init(): the stack, then the window.
  void StartStation() {
    StartStack();
    OpenWindow();
  }
  // cleanup(): the window closed, the seams put back, and no PC/SC context
  // left open.
  void EndStation() {
    CloseWindow();
    const int openContexts = m_pcsc->OpenContexts();
    EndStack();
    QCOMPARE(openContexts, 0);
  }

  // The reader in place and the stand-ins answering, before the window opens
  // (the seams are read on the monitors' threads).
  void StartStack() {
    m_pcsc = std::make_unique<sim::EmulatedPcsc>();
    m_pcsc->AddReader(kReader);
    tokenlink::UsePcsc(m_pcsc.get());
    m_cue.Clear();
    ui::UseSoundCue(&m_cue);
    m_files = FileAnswer{};
    ui::UseFileDialogs(&m_files);
  }
  // After the window has closed: nothing reads the seams any more.
  void EndStack() {
    ui::UseWindowClock(nullptr);
    m_clock.reset();
    station::UseExportFileCreator({});
    ui::UseFileDialogs(nullptr);
    ui::UseScreenCapture(nullptr);
    tokenlink::UsePcsc(nullptr);
    m_pcsc.reset();
    sources::SeedTable::Clear();
    sources::SetRandomSource({});
    seed::SetTotpClock({});
  }

  std::shared_ptr<sim::TokenEmulator> LayToken(const sim::TokenConfig& config = {},
                                               const std::string& reader = kReader) {
    auto token = std::make_shared<sim::TokenEmulator>(config);
    m_pcsc->InsertToken(reader, token);
    return token;
  }
  std::shared_ptr<sim::TokenEmulator> LayToken(const std::string& serial, const std::string& reader = kReader) {
    return LayToken(sim::TokenConfig{.serialNumber = serial}, reader);
  }

  // The window's clock from now on, standing at now.
  TestClock& UseClock(const QDateTime& now) {
    m_clock = std::make_unique<TestClock>(now);
    ui::UseWindowClock(m_clock.get());
    return *m_clock;
  }

  // "Load Seed File", the dialog answering with a file of these lines; its
  // path is m_files.answer.
  void LoadSeedFileThroughDialog(const QByteArray& lines) {
    m_files.answer = m_data->filePath(QStringLiteral("seeds.csv"));
    QVERIFY(WriteFile(m_files.answer, lines));
    ControlOf<QPushButton>(m_dlg, kLoadSeedFileButton)->click();
  }

  std::unique_ptr<sim::EmulatedPcsc> m_pcsc;
  CueRecorder m_cue;
  FileAnswer m_files;
  std::unique_ptr<TestClock> m_clock;
};
