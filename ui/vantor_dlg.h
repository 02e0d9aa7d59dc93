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

#include "burn_record.h"
#include "burned_secrets.h"
#include "card_monitor.h"
#include "export_set.h"
#include "reader_list_monitor.h"
#include "window_hop.h"

class QLabel;
class QCheckBox;
class QComboBox;
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

class CVantorDlg : public QDialog, private ui::CardMonitorClient, private ui::ReaderListClient {
  Q_OBJECT

 public:
  explicit CVantorDlg(QWidget* parent = nullptr);
  ~CVantorDlg() override;

  using Choices = ui::Choices;
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
  void OnRefreshView() override;
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
  void SetUpControls();
  void ShowBoundTexts();
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
  // ui::CardMonitorClient
  void OnCardChainStarted() override;
  void OnTokenAbsent(int32_t pcscResult) override;
  void OnTokenInfoRead(int32_t result, const tokenlink::TokenInfo& info, int64_t readAtMs) override;
  bool BurnWanted() override;
  void BurnToken(const QString& readerName) override;

  // Authentication with a message for each failure (caption "ERROR"); the
  // result code of the authentication. Runs on the calling thread; its
  // message is shown on the window's thread. nullopt when the message could
  // not be shown because the window is closing.
  int32_t AuthenticateWithReport(const QString& readerName);
  bool ShowMessage(const QString& caption, const QString& text);
  bool PrepareTokenForBurn();
  // Window thread, before anything of a burn is sent: asks the operator when
  // the secret would give an Azure line the cloud directory refuses (export
  // ticked), or was burned into another token in this run. False when the
  // operator says No. Asked at the Burn press for the token shown, and again
  // when the card monitor takes up the burn only if the token or the secret
  // is no longer the one agreed to (a token laid on while the burn pends).
  bool OperatorAgreesToBurn(const QByteArray& serialBytes, const std::vector<uint8_t>& secret, bool exportLines);
  // Window thread: burn mode ends without a booking.
  void LeaveBurnMode();
  // The token clock now: as read, moved on by the time since the read.
  QString TokenClockNow() const;
  // Window thread: the record of the burn the card monitor takes up now.
  ui::BurnRecord CaptureBurnRecord();
  // Card monitor's thread: true when the token in the field still reports
  // the record's serial number; otherwise the panel shows what is there now.
  bool ConfirmTokenSerial(const QString& readerName, const ui::BurnRecord& record);
  // Window thread: counters, log row, export lines and message of a burn.
  void BookBurn(const ui::BurnRecord& record, bool success);

  // Records and exports.
  void AddLogRow(const QString& serialNumber, const QString& userName, const QString& result);
  void OpenExportFiles();
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
  Choices m_burnChoices;              // what the pending burn prepared the token with
  // What the operator agreed to for the pending burn: the secret's digest,
  // the token and whether lines are exported.
  struct AgreedBurn {
    QByteArray digest;
    QByteArray serialBytes;
    bool exportLines = false;
  };
  std::optional<AgreedBurn> m_agreedBurn;
  ui::BurnedSecrets m_burnedSecrets;  // this run's burns, as digests
  QString m_readerCause;              // why the reader list is empty, or empty
  QString m_cardCause;                // why the token panel is empty, or empty
  ui::ExportSet m_exports;
  int m_totalCount = 0;
  int m_successCount = 0;
  int m_failCount = 0;
  bool m_burnButtonHeld = false;  // OnBurn, its pause included
  bool m_closing = false;
  bool m_monitorsStopped = false;

  // Declared after the hop they use, so that they are destroyed before it.
  ui::WindowHop m_hop{this};
  ui::ReaderListMonitor m_readerMonitor{*this, m_hop};
  ui::CardMonitor m_cardMonitor{*this, m_hop};
};
