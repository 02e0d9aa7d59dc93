// The main window: construction, initialisation, refresh, choices, the small
// handlers and closing.
#include "vantor_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVariant>
#include <cstdio>

#include "about_dlg.h"
#include "base32.h"
#include "dialog_units.h"
#include "my_list_ctrl.h"
#include "program_icon.h"
#include "text_convert.h"
#include "ui_vantor_dlg.h"

namespace {

void SetTextIfChanged(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

}  // namespace

CVantorDlg::CVantorDlg(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CVantorDlg>()) {
  ui::InitStationResources();
  m_hIcon = ui::ProgramIcon();
  m_ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  ui::ApplyDialogUnits(this);
  SetUpControls();
}

CVantorDlg::~CVantorDlg() {
  StopMonitors();
  CloseExportFiles();
}

QWidget* CVantorDlg::Control(int id) const {
  for (QWidget* child : findChildren<QWidget*>()) {
    if (child->property("controlId").toInt() == id) return child;
  }
  return nullptr;
}

void CVantorDlg::SetUpControls() {
  m_secretEdit = m_ui->secretEdit;
  m_userNameEdit = m_ui->userNameEdit;
  m_readerCombo = m_ui->readerCombo;
  m_encodingCombo = m_ui->encodingCombo;
  m_randomButton = m_ui->randomButton;
  m_scanQrButton = m_ui->scanQrButton;
  m_syncClockCheck = m_ui->syncClockCheck;
  m_exportCheck = m_ui->exportCheck;
  m_logList = m_ui->logList;
  m_burnButton = m_ui->burnButton;

  // The bound texts start empty, so the form's placeholders never show.
  ShowBoundTexts();

  // No system menu to extend here: "About..." sits in the window's context
  // menu and on F1.
  auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(about, &QShortcut::activated, this, &CVantorDlg::OnAbout);
  setWindowIcon(m_hIcon);

  m_ui->timeWindow30Radio->setChecked(true);
  m_ui->sha1Radio->setChecked(true);
  m_ui->display30Radio->setChecked(true);

  m_encodingCombo->insertItem(0, QStringLiteral("BASE32"));
  m_encodingCombo->insertItem(1, QStringLiteral("HEX"));
  m_encodingCombo->setCurrentIndex(0);

  auto* randomMenu = new QMenu(m_randomButton);
  connect(randomMenu->addAction(QStringLiteral("32 Bytes")), &QAction::triggered, this, [this] { GenerateRandomSeed(32); });
  connect(randomMenu->addAction(QStringLiteral("64 Bytes")), &QAction::triggered, this, [this] { GenerateRandomSeed(64); });
  connect(randomMenu->addAction(QStringLiteral("128 Bytes")), &QAction::triggered, this,
          [this] { GenerateRandomSeed(128); });
  m_randomButton->setMenu(randomMenu);
  auto* scanMenu = new QMenu(m_scanQrButton);
  connect(scanMenu->addAction(QStringLiteral("Scan Screen")), &QAction::triggered, this, &CVantorDlg::OnScanScreen);
  connect(scanMenu->addAction(QStringLiteral("Load Image File")), &QAction::triggered, this,
          &CVantorDlg::OnLoadImageFile);
  m_scanQrButton->setMenu(scanMenu);
  // The body of "Random" is "32 Bytes"; the body of "Scan QR Code" does nothing.
  connect(m_randomButton, &QToolButton::clicked, this, [this] { GenerateRandomSeed(32); });

  m_ui->testButton->setEnabled(false);
  m_burnButton->setEnabled(false);
  m_ui->syncButton->setEnabled(false);
  m_syncClockCheck->setChecked(true);

  // As in a Windows dialog, Enter presses the push button that has the focus;
  // anywhere else it closes the window (there is no default button).
  for (QPushButton* button : findChildren<QPushButton*>()) {
    button->setAutoDefault(true);
    button->setDefault(false);
  }

  connect(m_burnButton, &QPushButton::clicked, this, &CVantorDlg::OnBurn);
  connect(m_ui->connectButton, &QPushButton::clicked, this, &CVantorDlg::OnConnect);
  connect(m_ui->sealButton, &QPushButton::clicked, this, &CVantorDlg::OnSeal);
  connect(m_ui->clearButton, &QPushButton::clicked, this, &CVantorDlg::OnClear);
  connect(m_ui->editButton, &QPushButton::clicked, this, &CVantorDlg::OnEditSecret);
  connect(m_ui->loadSeedFileButton, &QPushButton::clicked, this, &CVantorDlg::OnLoadSeedFile);
  connect(m_ui->testButton, &QPushButton::clicked, this, &CVantorDlg::OnTest);
  connect(m_ui->syncButton, &QPushButton::clicked, this, &CVantorDlg::OnSyncClock);
  connect(m_secretEdit, &QLineEdit::textChanged, this, &CVantorDlg::OnSecretChanged);

  m_monitorSession = {};
  m_totalCount = m_successCount = m_failCount = 0;
  m_tips.clear();
  m_burnMode = 0;
  TokenInfoPending = 1;
  BurnArmed = 1;
  CardMonitorState = 0;

  m_logList->setColumnCount(4);
  m_logList->setHeaderLabels({QStringLiteral("Date Time    "), QStringLiteral("Serial Number"),
                              QStringLiteral("User Name"), QStringLiteral("Result")});
  m_logList->FitColumns();

  m_readerRunning = true;
  m_readerThread = std::thread([this] {
    ReaderListMonitor();
    m_readerRunning = false;
  });
}

void CVantorDlg::ShowBoundTexts() {
  SetTextIfChanged(m_ui->serialNumberLabel, m_serialNumber);
  SetTextIfChanged(m_ui->tokenClockLabel, m_tokenClock);
  SetTextIfChanged(m_ui->computerClockLabel, m_computerClock);
  SetTextIfChanged(m_ui->tipsLabel, m_tips);
  SetTextIfChanged(m_ui->seedFilePathLabel, m_seedFilePath);
}

void CVantorDlg::SetBurnEnabled(bool enabled) {
  // While OnBurn runs, its pause included, the button stays disabled.
  if (m_burnButtonHeld) return;
  if (m_burnButton->isEnabled() != enabled) m_burnButton->setEnabled(enabled);
}

void CVantorDlg::ClearTokenTexts() {
  m_serialNumber.clear();
  m_tokenClock.clear();
  m_computerClock.clear();
}

void CVantorDlg::OnRefreshView() {
  NormaliseSecret();
  const bool syncEnabled = !m_serialNumber.isEmpty();
  if (m_ui->syncButton->isEnabled() != syncEnabled) m_ui->syncButton->setEnabled(syncEnabled);
  SetBurnEnabled(!m_secret.isEmpty() && !m_serialNumber.isEmpty());
  ShowBoundTexts();
}

CVantorDlg::Choices CVantorDlg::ReadChoices() const {
  Choices choices;
  choices.timeWindow = m_ui->timeWindow30Radio->isChecked() ? 30 : 60;
  choices.algorithm = m_ui->sha1Radio->isChecked() ? QByteArrayLiteral("SHA1") : QByteArrayLiteral("SHA256");
  if (m_ui->display15Radio->isChecked()) {
    choices.displayTime = 15;
  } else if (m_ui->display30Radio->isChecked()) {
    choices.displayTime = 30;
  } else if (m_ui->display60Radio->isChecked()) {
    choices.displayTime = 60;
  } else {
    choices.displayTime = 120;
  }
  return choices;
}

void CVantorDlg::UpdateComputerClock() {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const QDate d = now.date();
  const QTime t = now.time();
  char text[256];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", d.year(), d.month(), d.day(), t.hour(), t.minute(),
                t.second());
  m_computerClock = app::AnsiToWide(text);
}

QString CVantorDlg::TokenTimeText(const QByteArray& clockText) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::sscanf(clockText.constData(), "%4d-%2d-%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second);
  return QString::asprintf("%d/%02d/%02d/%02d/%02d/%02d", year, month, day, hour, minute, second);
}

void CVantorDlg::NormaliseSecret() {
  const QString box = m_secretEdit->text();
  if (box.isEmpty()) {
    m_secret.clear();
    return;
  }
  const std::u16string cleaned = seed::CleanSecretText(box.toStdU16String());
  const auto encoding = m_encodingCombo->currentIndex() == 0 ? seed::SeedEncoding::Base32 : seed::SeedEncoding::Hex;
  std::string narrow;
  if (encoding == seed::SeedEncoding::Hex) {
    try {
      narrow = app::WideToAnsiChecked(QString::fromStdU16String(cleaned)).toStdString();
    } catch (const app::TextConversionError&) {
      // Not convertible: keep the cleaned text, as for any text that is not hex.
      m_secret = QString::fromStdU16String(cleaned);
      return;
    }
  }
  m_secret = QString::fromStdU16String(seed::NormaliseSecretText(cleaned, encoding, narrow));
}

void CVantorDlg::OnClear() { m_logList->clear(); }

void CVantorDlg::OnEditSecret() { m_secretEdit->setReadOnly(false); }

void CVantorDlg::OnSecretChanged() { m_ui->testButton->setEnabled(!m_secretEdit->text().isEmpty()); }

void CVantorDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CVantorDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  connect(menu.addAction(QStringLiteral("About...")), &QAction::triggered, this, &CVantorDlg::OnAbout);
  menu.exec(event->globalPos());
}

void CVantorDlg::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() == Qt::NoModifier || (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter)) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      accept();
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

void CVantorDlg::done(int result) {
  // A monitor's message may be on screen in a nested event loop that this
  // call runs inside; close once it has been dismissed.
  if (m_hop.InCall()) {
    QTimer::singleShot(50, this, [this, result] { done(result); });
    return;
  }
  StopMonitors();
  CloseExportFiles();
  QDialog::done(result);
}

void CVantorDlg::StopMonitors() {
  if (m_monitorsStopped) return;
  m_monitorsStopped = true;
  m_hop.BeginClosing();
  CardMonitorState = 2;
  // A monitor may still hand over a booking that must not be lost; keep
  // handling events until both have ended.
  while (m_readerRunning || m_cardRunning) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  if (m_readerThread.joinable()) m_readerThread.join();
  if (m_cardThread.joinable()) m_cardThread.join();
}
