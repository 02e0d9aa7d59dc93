// The station's main window: the secret being prepared, the one-time-password
// choices, the reader and token panel, Burn/Stop, Sync and Seal, the export
// options, the counters and the programming log. Two monitor threads keep it in
// step with the hardware; they never touch a widget, every read and write of
// the window's state is handed to the window's thread.
#pragma once
#include <QByteArray>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>

#include "pcsc_api.h"
#include "window_hop.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class CMyListCtrl;

namespace Ui {
class CVantorDlg;
}
namespace sources {
struct GreyImage;
struct ParsedUri;
}

class CVantorDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CVantorDlg(QWidget* parent = nullptr);
  ~CVantorDlg() override;

  struct Choices {
    int timeWindow;       // seconds: 30 or 60
    int displayTime;      // seconds: 15, 30, 60 or 120
    QByteArray algorithm; // "SHA1" or "SHA256"
  };
  Choices ReadChoices() const;

  // m_computerClock = the system clock in UTC, "%04d-%02d-%02d %02d:%02d:%02d".
  void UpdateComputerClock();
  // "%04d-%02d-%02d %02d:%02d:%02d" -> "%d/%02d/%02d/%02d/%02d/%02d"; fields
  // that cannot be read count as 0.
  static QString TokenTimeText(const QByteArray& clockText);
  // m_secret = the secret box read according to the encoding list, as Base32.
  void NormaliseSecret();

  // Stops both monitors (a booking under way is finished first), closes the
  // export files and ends the window.
  void done(int result) override;

  // The control with this template id, or nullptr.
  QWidget* Control(int id) const;

  // Counters of this run.
  int TotalCount() const { return m_totalCount; }
  int SuccessCount() const { return m_successCount; }
  int FailCount() const { return m_failCount; }

 public slots:
  void OnBurn();
  void OnConnect();
  void OnSeal();
  void OnClear();
  void OnEditSecret();
  void OnSecretChanged();
  void OnRefreshView();
  void OnSyncClock();
  void OnAbout();
  // Seed sources and the code preview.
  void OnTest();
  void OnLoadSeedFile();
  void OnScanScreen();
  void OnLoadImageFile();
  void GenerateRandomSeed(int byteCount);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  struct MonitorSession {
    tokenlink::PcscContext context = 0;
    tokenlink::PcscCard card = 0;
    uint32_t activeProtocol = 0;
  };

  void SetUpControls();
  void ShowBoundTexts();
  void SetBurnEnabled(bool enabled);
  void ClearTokenTexts();

  // Authentication with a message for each failure (caption "ERROR"); the
  // result code of the authentication. Runs on the calling thread; its
  // message is shown on the window's thread.
  int32_t AuthenticateWithReport(const QString& readerName);
  void ShowMessage(const QString& caption, const QString& text);
  bool PrepareTokenForBurn();

  // Monitors, each on its own thread.
  void ReaderListMonitor();
  void CardMonitor(QString readerName);
  static int ListReaders(QString* readerList);
  void ApplyReaderList(bool listed, const QString& readerList);
  int RefreshTokenPanel(const QString& readerName);
  void LookUpSeedBySerial();
  int BurnToken(const QString& readerName);
  void ReleaseMonitorSession();
  void StartCardMonitor();
  void OnCardMonitorStopped();
  void StopMonitors();

  // Records and exports.
  void AddLogRow(const QString& serialNumber, const QString& userName, const QString& result);
  void OpenExportFiles();
  void WriteExportLines();
  void CloseExportFiles();

  // Seed sources.
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

  // Written on the window's thread only; the card monitor reads it.
  std::atomic<int> m_burnMode{0};
  std::FILE* m_hexFile = nullptr;
  std::FILE* m_base32File = nullptr;
  std::FILE* m_azureFile = nullptr;
  int m_exportFilesOpen = 0;

  // Shared with the monitors.
  std::atomic<int> CardMonitorState{0};  // 0 none, 1 running, 2 stop requested
  std::atomic<int> BurnArmed{1};
  std::atomic<int> TokenInfoPending{1};
  int m_totalCount = 0;
  int m_successCount = 0;
  int m_failCount = 0;
  MonitorSession m_monitorSession;  // card-monitor thread only

  ui::WindowHop m_hop{this};
  std::thread m_readerThread;
  std::thread m_cardThread;
  std::atomic<bool> m_readerRunning{false};
  std::atomic<bool> m_cardRunning{false};
  QString m_nextCardReader;
  bool m_restartCardMonitor = false;
  bool m_burnButtonHeld = false;  // OnBurn, its pause included
  bool m_monitorsStopped = false;
};
