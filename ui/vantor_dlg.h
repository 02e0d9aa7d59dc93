// The station's main window: the secret being prepared, the one-time-password
// choices, the reader and token panel, Burn/Stop, Sync and Seal, the export
// options, the counters and the programming log. Its two monitors run on
// threads of their own and hand what they find to the window's thread.
#pragma once
#include <QByteArray>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app_values.h"
#include "burn_engine.h"
#include "card_monitor.h"
#include "export_set.h"
#include "link_token_port.h"
#include "reader_list_monitor.h"
#include "seed_file.h"
#include "pskc_credential.h"
#include "window_clock.h"
#include "window_hop.h"

class QLabel;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;
class CMyListCtrl;

namespace Ui {
class CVantorDlg;
}
namespace sources {
struct GreyImage;
struct ParsedUri;
}

class CVantorDlg : public QDialog,
                   private ui::CardMonitorClient,
                   private ui::ReaderListClient,
                   private station::BurnView {
  Q_OBJECT

 public:
  explicit CVantorDlg(QWidget* parent = nullptr);
  ~CVantorDlg() override;

  using Choices = station::Choices;
  Choices ReadChoices() const;

  // m_computerClock = the computer clock in UTC, "%04d-%02d-%02d %02d:%02d:%02d".
  void UpdateComputerClock();
  // "%04d-%02d-%02d %02d:%02d:%02d" -> "%d/%02d/%02d/%02d/%02d/%02d"; fields
  // that cannot be read count as 0.
  static QString TokenTimeText(const QByteArray& clockText);
  // m_secret = the secret box read according to the encoding list, as Base32.
  void NormaliseSecret();

  // Stops both monitors (a booking under way is finished first), closes the
  // export files and ends the window. From its first call on, operator input
  // is ignored.
  void done(int result) override;

  // The control with this template id, or nullptr.
  QWidget* Control(int id) const;

  // Counters of this run.
  int TotalCount() const { return m_engine.TotalCount(); }
  int SuccessCount() const { return m_engine.SuccessCount(); }
  int FailCount() const { return m_engine.FailCount(); }

 public slots:
  void OnBurn();
  void OnConnect();
  void OnSeal();
  void OnClear();
  void OnEditSecret();
  void OnSecretChanged();
  void OnRefreshView() override;
  void OnSyncClock();
  void OnAbout();
  // Seed sources and the code preview.
  void OnTest();
  void OnLoadSeedFile();
  void LoadPskcSeedFile(const QString& path);
  void ApplySeedSettings(const sources::SeedSettings& settings);
  void OnScanScreen();
  void OnLoadImageFile();
  void GenerateRandomSeed(int byteCount);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void SetUpControls();
  void ShowBoundTexts();
  void ShowClocks();  // the two clock texts alone
  // The line that says why the panel stays empty, beside the token panel and
  // as the status line's tooltip: the reader list's cause first, since
  // without a service or a reader the card's cannot be told.
  void ShowFailureCause();
  void ShowCount(QLabel* label, int count);
  void SetBurnCaption(const QString& caption);
  void SetBurnEnabled(bool enabled);
  void ClearTokenTexts();
  bool IgnoringInput() const { return m_closing; }

  // Window thread. Reads the token in the field and shows it; the secret of
  // a loaded seed file follows the token.
  void LookUpSeedBySerial();

  // ui::ReaderListClient
  void ApplyReaderList(bool listed, const QStringList& names, int32_t pcscResult) override;
  void ApplyWatching(ui::Watching watching) override;
  // ui::CardMonitorClient
  void OnCardChainStarted() override;
  void OnTokenAbsent(int32_t pcscResult) override;
  void OnTokenInfoRead(int32_t result, const tokenlink::TokenInfo& info, int64_t readAtMs) override;

  // The burn engine's view of the window: the form as filled in, and the
  // clock a configuration writes.
  station::Form CurrentForm();
  QByteArray ClockTextFor(bool computerClock);
  // The token clock now: as read, moved on by the time since the read.
  QString TokenClockNow() const;
  // The same in the panel's form; the token clock was read (m_tokenClockSeconds).
  QByteArray TokenClockTextNow() const;
  // The clocks change every second while a token is shown. Painted opaque,
  // in the colour the token group shows beneath them, a change repaints the
  // label alone instead of the group box and the window under it. Done at
  // the first tick, once the window shows, and again after a style change.
  void PaintClocksOpaque();
  void changeEvent(QEvent* event) override;
  // Once a second while a token is shown: both clocks of the panel move on.
  void TickClocks();
  void StartClockTick();
  // Window thread: an event for the burn engine.
  void Dispatch(station::Event event);
  // The token panel is empty now; the engine hears of it once.
  void TokenLeft();
  // From now on operator input is ignored and a pending burn is cancelled.
  void BeginClosing();

  // station::BurnView
  void Show(const station::ShowMessage& message) override;
  bool Ask(const QString& text) override;
  void AddLogRow(const station::AddLogRow& row) override;
  void ShowCounters(const station::ShowCounters& counters) override;
  void ShowBurnPending(bool pending) override;
  void ReadTokenAgain() override;

  void StopMonitors();

  // Seed sources.
  // Empties the secret and asks for a file; empty when cancelled.
  QString ClearSecretAndChooseFile(const QString& filter);
  bool LoadImageCodes(const QString& path);
  bool ApplyQrPayloads(const sources::GreyImage& image);
  void ApplyOtpauthUri(const sources::ParsedUri& uri);
  void ShowSourcePath(const QString& path);

  std::unique_ptr<Ui::CVantorDlg> m_ui;

 public:
  // Bound texts, shown in 1006, 1007, 1012, 1016 and 1048 at each refresh.
  QString m_serialNumber;
  QString m_tokenClock;
  QString m_computerClock;
  QString m_tips;
  QString m_seedFilePath;
  QString m_secret;
  QString m_userName;

 private:
  QIcon m_hIcon;
  QLineEdit* m_secretEdit = nullptr;
  QLineEdit* m_userNameEdit = nullptr;
  QComboBox* m_readerCombo = nullptr;
  QComboBox* m_encodingCombo = nullptr;
  QToolButton* m_randomButton = nullptr;
  QToolButton* m_scanQrButton = nullptr;
  QCheckBox* m_syncClockCheck = nullptr;
  QCheckBox* m_exportCheck = nullptr;
  CMyListCtrl* m_logList = nullptr;
  QPushButton* m_burnButton = nullptr;

  // Window thread only.
  QByteArray m_serialBytes;           // the serial number as the token reports it
  std::optional<uint32_t> m_tokenClockSeconds;  // the token clock as read
  int64_t m_tokenClockReadAtMs = 0;   // when, on the window clock's monotonic count
  bool m_burnMode = false;            // a burn is pending; the button reads "Stop"
  bool m_tokenToldToEngine = false;   // the engine knows of the token shown
  // The secret that the seed file put into the box for the token shown, so
  // that a token missing from the file clears only that, never a secret the
  // operator typed, generated or scanned.
  std::optional<QString> m_secretFromFile;
  QString m_readerCause;              // why the reader list is empty, or empty
  QString m_cardCause;                // why the token panel is empty, or empty
  QTimer* m_clockTimer = nullptr;     // runs while a token is shown
  bool m_clocksOpaque = false;        // the clock labels paint their background
  bool m_burnButtonHeld = false;  // OnBurn, its pause included
  bool m_closing = false;
  bool m_monitorsStopped = false;

  station::FileExports m_exports{[] { return ui::ActiveWindowClock().Now(); }, ui::WindowExportFormats()};
  station::BurnEngine m_engine{m_exports, [] { return ui::ActiveWindowClock().Now(); }};
  station::LinkTokenPort m_tokenPort{[] { return app::SelectedReaderName(); },
                                     [this](bool computerClock) { return ClockTextFor(computerClock); }};
  station::BurnDriver m_driver{m_engine, m_tokenPort, *this};

  // Declared after the hop they use, so that they are destroyed before it.
  ui::WindowHop m_hop{this};
  ui::ReaderListMonitor m_readerMonitor{*this, m_hop};
  ui::CardMonitor m_cardMonitor{*this, m_hop};
};
