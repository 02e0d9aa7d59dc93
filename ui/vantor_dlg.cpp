// The main window: construction, initialisation, refresh, choices, the small
// handlers, what the monitors hand over, the log and closing.
#include "vantor_dlg.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidgetItem>
#include <QVariant>

#include "about_dlg.h"
#include "app_values.h"
#include "base32.h"
#include "dialog_units.h"
#include "failure_causes.h"
#include "my_list_ctrl.h"
#include "program_icon.h"
#include "seed_file.h"
#include "sound_cue.h"
#include "split_button_accessible.h"
#include "text_convert.h"
#include "token_clock.h"
#include "window_clock.h"
#include "ui_vantor_dlg.h"

namespace {

// A label that shows a value publishes it: its accessible name is the caption
// beside it followed by the value, or the value alone.
void ShowValue(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
  const QString caption = label->property("valueCaption").toString();
  const QString name = caption.isEmpty() || text.isEmpty() ? (text.isEmpty() ? caption : text) : caption + u' ' + text;
  if (label->accessibleName() != name) label->setAccessibleName(name);
}

QString ClockTextOf(const QDateTime& t) {
  const QDate d = t.date();
  const QTime c = t.time();
  return QString::fromStdString(
      tokenlink::ClockText({d.year(), d.month(), d.day(), c.hour(), c.minute(), c.second()}));
}

}  // namespace

CVantorDlg::CVantorDlg(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CVantorDlg>()) {
  ui::InitStationResources();
  ui::InstallSplitButtonAccessibility();
  m_hIcon = ui::ProgramIcon();
  m_ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  ui::ApplyDialogUnits(this);
  SetUpControls();
}

CVantorDlg::~CVantorDlg() { StopMonitors(); }

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
  // Burn follows the secret at once; the monitors hand nothing over while
  // the readers stay as they are.
  connect(m_secretEdit, &QLineEdit::textChanged, this, &CVantorDlg::OnRefreshView);
  connect(m_encodingCombo, &QComboBox::currentIndexChanged, this, &CVantorDlg::OnRefreshView);
  connect(m_readerCombo, &QComboBox::currentIndexChanged, this,
          [this](int index) { m_readerMonitor.HandOverEveryPass(index < 0); });

  for (QLabel* count : {m_ui->totalCountLabel, m_ui->successCountLabel, m_ui->failCountLabel}) ShowCount(count, 0);
  m_tips.clear();
  m_burnMode = false;
  SetBurnCaption(QStringLiteral("Burn"));

  m_logList->setColumnCount(4);
  m_logList->setHeaderLabels({QStringLiteral("Date Time    "), QStringLiteral("Serial Number"),
                              QStringLiteral("User Name"), QStringLiteral("Result")});
  m_logList->FitColumns();

  m_clockTimer = new QTimer(this);
  m_clockTimer->setSingleShot(true);
  m_clockTimer->setTimerType(Qt::PreciseTimer);
  connect(m_clockTimer, &QTimer::timeout, this, &CVantorDlg::TickClocks);

  m_readerMonitor.Start();
}

void CVantorDlg::PaintClocksOpaque() {
  m_clocksOpaque = true;
  const QImage group = m_ui->tokenGroup->grab().toImage();
  for (QLabel* clock : {m_ui->tokenClockLabel, m_ui->computerClockLabel}) {
    const QPoint at = m_ui->tokenGroup->mapFrom(this, clock->geometry().center()) * group.devicePixelRatio();
    if (!group.valid(at)) continue;
    QPalette palette = clock->palette();
    palette.setColor(QPalette::Window, group.pixelColor(at));
    clock->setPalette(palette);
    clock->setAutoFillBackground(true);
  }
}

void CVantorDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  // The colour beneath is looked at anew at the next tick.
  if (event->type() == QEvent::StyleChange || event->type() == QEvent::PaletteChange) m_clocksOpaque = false;
}

void CVantorDlg::ShowClocks() {
  ShowValue(m_ui->tokenClockLabel, m_tokenClock);
  ShowValue(m_ui->computerClockLabel, m_computerClock);
}

void CVantorDlg::ShowBoundTexts() {
  ShowValue(m_ui->serialNumberLabel, m_serialNumber);
  ShowClocks();
  ShowValue(m_ui->tipsLabel, m_tips);
  ShowValue(m_ui->seedFilePathLabel, m_seedFilePath);
  ShowFailureCause();
}

void CVantorDlg::ShowFailureCause() {
  const QString cause = m_readerCause.isEmpty() ? m_cardCause : m_readerCause;
  ShowValue(m_ui->causeLabel, cause);
  if (m_ui->tipsLabel->toolTip() != cause) m_ui->tipsLabel->setToolTip(cause);
}

void CVantorDlg::ShowCount(QLabel* label, int count) { ShowValue(label, QString::number(count)); }

void CVantorDlg::SetBurnCaption(const QString& caption) {
  // The button's accessible name is its caption.
  if (m_burnButton->text() != caption) m_burnButton->setText(caption);
}

void CVantorDlg::SetBurnEnabled(bool enabled) {
  // While OnBurn runs, its pause included, the button stays disabled.
  if (m_burnButtonHeld) return;
  if (m_burnButton->isEnabled() != enabled) m_burnButton->setEnabled(enabled);
}

void CVantorDlg::ClearTokenTexts() {
  if (m_clockTimer) m_clockTimer->stop();
  m_serialNumber.clear();
  m_serialBytes.clear();
  m_tokenClock.clear();
  m_tokenClockSeconds.reset();
  m_computerClock.clear();
}

void CVantorDlg::OnRefreshView() {
  NormaliseSecret();
  const bool syncEnabled = !m_serialNumber.isEmpty();
  if (m_ui->syncButton->isEnabled() != syncEnabled) m_ui->syncButton->setEnabled(syncEnabled);
  // Stop stays at hand for as long as a burn is pending, token or not.
  SetBurnEnabled(m_burnMode || (!m_secret.isEmpty() && !m_serialNumber.isEmpty()));
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

void CVantorDlg::UpdateComputerClock() { m_computerClock = ClockTextOf(ui::ActiveWindowClock().Now().toUTC()); }

QString CVantorDlg::TokenTimeText(const QByteArray& clockText) {
  return app::AnsiToWide(QByteArray::fromStdString(tokenlink::TokenTimeText(clockText.toStdString())));
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
  const bool enter = (event->key() == Qt::Key_Return && event->modifiers() == Qt::NoModifier) ||
                     (event->key() == Qt::Key_Enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier);
  if (enter) {
    // As in a Windows dialog, Enter presses the button that has the focus,
    // split buttons included; anywhere else it closes the window (there is
    // no default button).
    if (auto* button = qobject_cast<QAbstractButton*>(focusWidget()); button && button->isEnabled()) {
      button->click();
    } else {
      accept();
    }
    return;
  }
  QDialog::keyPressEvent(event);
}

void CVantorDlg::BeginClosing() {
  if (m_closing) return;
  m_closing = true;
  // A pending burn is cancelled now, even with its question on screen: the
  // answer comes after this and writes nothing.
  Dispatch(station::Closing{});
}

void CVantorDlg::done(int result) {
  BeginClosing();
  // A message or question may be on screen in a nested event loop that this
  // call runs inside; close once it has been dismissed.
  if (m_hop.InCall() || m_driver.Busy()) {
    QTimer::singleShot(50, this, [this, result] { done(result); });
    return;
  }
  StopMonitors();
  m_exports.Close();
  QDialog::done(result);
}

void CVantorDlg::StopMonitors() {
  if (m_monitorsStopped) return;
  m_monitorsStopped = true;
  BeginClosing();
  m_hop.BeginClosing();
  m_clockTimer->stop();
  // A monitor may still hand over a booking that must not be lost; keep
  // handling events until both have ended. Asking again wakes a wait that
  // pcsc-lite was still setting up when first asked.
  while (m_readerMonitor.ThreadAlive() || m_cardMonitor.ThreadAlive()) {
    m_readerMonitor.RequestStop();
    m_cardMonitor.RequestStop();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  m_readerMonitor.Wait();
  m_cardMonitor.Wait();
}

// Reader list and token panel, as the monitors hand them over.

void CVantorDlg::ApplyReaderList(bool listed, const QStringList& names, int32_t pcscResult) {
  m_readerCause = ui::ReaderListCause(listed, pcscResult);
  if (!listed) {
    for (int i = m_readerCombo->count() - 1; i >= 0; --i) m_readerCombo->removeItem(i);
    ClearTokenTexts();
    // The panel is empty now: a token still in the field (the service came
    // back before the card monitor looked) is read and shown again.
    m_cardMonitor.RearmToken();
    TokenLeft();
    OnRefreshView();
    return;
  }
  if (names.isEmpty()) {
    ClearTokenTexts();
    m_tips = QStringLiteral("No card reader detected.");
    m_cardMonitor.RearmToken();
    TokenLeft();
  } else if (m_readerCombo->currentIndex() < 0) {
    m_tips = QStringLiteral("Please select a card reader.");
  }
  // A reader stays while its name occurs anywhere in the listing, as a part
  // of another name included.
  const QString listing = names.join(QString());
  for (int i = m_readerCombo->count() - 1; i >= 0; --i) {
    if (listing.contains(m_readerCombo->itemText(i))) continue;
    const bool wasSelected = m_readerCombo->currentIndex() == i;
    m_readerCombo->removeItem(i);
    // The list keeps no selection when the selected reader goes.
    if (wasSelected) m_readerCombo->setCurrentIndex(-1);
  }
  const int selected = m_readerCombo->currentIndex();
  for (const QString& name : names) {
    if (m_readerCombo->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) {
      m_readerCombo->insertItem(m_readerCombo->count(), name);
    }
  }
  // The choice is the operator's: adding a reader selects nothing.
  if (m_readerCombo->currentIndex() != selected) m_readerCombo->setCurrentIndex(selected);
  OnRefreshView();
}

void CVantorDlg::ApplyWatching(ui::Watching watching) {
  const QString note = ui::WatchingNote(watching);
  if (m_ui->causeLabel->toolTip() != note) m_ui->causeLabel->setToolTip(note);
}

void CVantorDlg::OnConnect() {
  if (IgnoringInput()) return;
  if (m_readerCombo->currentIndex() < 0) {
    m_tips = QStringLiteral("Please select a card reader!");
    ShowBoundTexts();
    return;
  }
  app::SetSelectedReaderName(m_readerCombo->currentText());
  m_tokenToldToEngine = false;
  Dispatch(station::ReaderConnected{});
  m_cardMonitor.Connect(m_readerCombo->currentText());
}

void CVantorDlg::TokenLeft() {
  if (!m_tokenToldToEngine) return;
  m_tokenToldToEngine = false;
  Dispatch(station::TokenGone{});
}

void CVantorDlg::OnCardChainStarted() {
  ClearTokenTexts();
  TokenLeft();
  m_cardCause.clear();  // the cause found on another reader
  OnRefreshView();
}

void CVantorDlg::OnTokenAbsent(int32_t pcscResult) {
  m_cardCause = ui::CardAbsentCause(pcscResult);
  ClearTokenTexts();
  TokenLeft();
  m_tips = QStringLiteral("Token or card not detected");
  OnRefreshView();
}

void CVantorDlg::OnTokenInfoRead(int32_t result, const tokenlink::TokenInfo& info, int64_t readAtMs) {
  m_cardCause = ui::TokenReadCause(result);
  if (result != 0) {
    ClearTokenTexts();
    TokenLeft();
    m_tips = QStringLiteral("Token or card not detected");
    OnRefreshView();
    return;
  }
  m_tips = QStringLiteral("Token or card detected");
  m_serialBytes = QByteArray::fromStdString(info.serialNumber);
  m_serialNumber = app::AnsiToWide(m_serialBytes);
  m_tokenClock = app::AnsiToWide(QByteArray::fromStdString(info.clockText));
  m_tokenClockSeconds = tokenlink::ClockTextSeconds(info.clockText);
  m_tokenClockReadAtMs = readAtMs;
  UpdateComputerClock();
  LookUpSeedBySerial();
  NormaliseSecret();
  if (!m_secret.isEmpty()) SetBurnEnabled(true);
  // Shown at once; the refresh after the read's pause follows as before.
  OnRefreshView();
  StartClockTick();
  m_tokenToldToEngine = true;
  station::FieldToken token{m_serialBytes, m_serialNumber};
  Dispatch(station::TokenSeen{std::move(token), CurrentForm()});
}

void CVantorDlg::LookUpSeedBySerial() {
  if (m_serialNumber.isEmpty()) return;
  const std::optional<QString> found = sources::SeedTable::Lookup(m_serialBytes);
  if (!found) {
    // In series work a token missing from the loaded file must not keep the
    // secret the file gave the previous token: one press of Burn would give
    // both the same. A secret the operator typed, generated or scanned stays.
    if (m_secretFromFile && m_secretEdit->text() == *m_secretFromFile) {
      m_secret.clear();
      m_secretEdit->clear();
    }
    m_secretFromFile.reset();
    return;
  }
  m_secret = *found;
  m_secretEdit->setText(*found);
  m_secretFromFile = *found;
  if (const std::optional<sources::SeedSettings> settings = sources::SeedTable::Settings(m_serialBytes)) {
    ApplySeedSettings(*settings);
  }
  ui::PlaySecretCue();
}

// The log.

void CVantorDlg::AddLogRow(const station::AddLogRow& row) {
  m_userName = m_engine.UserName();
  const QString time = ClockTextOf(ui::ActiveWindowClock().Now().toLocalTime()) + u' ';
  m_logList->insertTopLevelItem(0, new QTreeWidgetItem({time, row.serialNumber, row.userName, row.result}));
}
