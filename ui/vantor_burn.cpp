// The burn workflow (preparation on the window's thread, seed write on the
// card monitor's), the authentication step with its messages, Seal and Sync.
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <array>

#include "app_values.h"
#include "base32.h"
#include "operator_messages.h"
#include "text_convert.h"
#include "token_commands.h"
#include "ui_vantor_dlg.h"
#include "vantor_dlg.h"

namespace {

constexpr int kBurnPauseMs = 500;

QString CodeText(int32_t code) { return QString::asprintf("%08X", static_cast<uint32_t>(code)); }

QString AuthenticationMessage(int32_t code) {
  if (tokenlink::IsAuthRetry(code)) {
    return QString::asprintf("Authentication failed, remaining %d", code & 0x0F) + QStringLiteral(" times");
  }
  switch (code) {
    case tokenlink::TL_E_KEY_LOCKED:
      return QStringLiteral("Customer key is locked");
    case tokenlink::TL_E_AUTH_REJECTED:
      return QStringLiteral("Authentication failed, remaining unlimited times");
    case tokenlink::TL_E_NO_DEVICE:
      return QStringLiteral("Device not connected");
    default:
      return QStringLiteral("Authentication process failed!");
  }
}

}  // namespace

void CVantorDlg::ShowMessage(const QString& caption, const QString& text) {
  // From the card monitor this holds the monitor until the box is dismissed.
  m_hop.Run([&] { ui::ShowOperatorMessage(this, caption, text); });
}

int32_t CVantorDlg::AuthenticateWithReport(const QString& readerName) {
  const QByteArray reader = app::WideToAnsi(readerName);
  const QByteArray key = app::WideToAnsi(app::CustomerKey());
  const int32_t r = tokenlink::AuthenticateCustomerKey(reader.constData(), key.constData());
  if (r != 0) ShowMessage(ui::kCaptionError, AuthenticationMessage(r));
  return r;
}

void CVantorDlg::OnBurn() {
  m_burnButton->setEnabled(false);
  m_burnButtonHeld = true;
  auto release = [this] {
    m_burnButtonHeld = false;
    m_burnButton->setEnabled(true);
  };
  if (m_burnMode == 0) {
    if (m_exportCheck->isChecked()) OpenExportFiles();
    if (!PrepareTokenForBurn()) {
      release();
      return;
    }
  }
  BurnArmed = 1;
  if (m_burnMode == 1) {
    m_burnMode = 0;
    m_burnButton->setText(QStringLiteral("Burn"));
  } else {
    m_burnMode = 1;
    m_burnButton->setText(QStringLiteral("Stop"));
  }
  // The pause keeps the button disabled without holding up the window.
  QTimer::singleShot(kBurnPauseMs, this, release);
}

bool CVantorDlg::PrepareTokenForBurn() {
  const QString readerName = app::SelectedReaderName();
  if (AuthenticateWithReport(readerName) != 0) return false;
  const Choices choices = ReadChoices();
  QString clock;
  if (m_syncClockCheck->isChecked()) {
    UpdateComputerClock();
    clock = TokenTimeText(app::WideToAnsi(m_computerClock));
  } else {
    clock = TokenTimeText(app::WideToAnsi(m_tokenClock));
  }
  const QByteArray clockText = app::WideToAnsi(clock);
  const QByteArray key = app::WideToAnsi(app::CustomerKey());
  const QByteArray reader = app::WideToAnsi(readerName);
  const int32_t r = tokenlink::ConfigureToken(reader.constData(), key.constData(), choices.algorithm.constData(),
                                              choices.timeWindow, choices.displayTime, clockText.constData(), 0);
  if (r != 0) {
    ShowMessage(ui::kCaptionError, QStringLiteral("config failed![") + CodeText(r) + QStringLiteral("]"));
    return false;
  }
  return true;
}

int CVantorDlg::BurnToken(const QString& readerName) {
  bool success = false;
  QString serialNumber;
  QString secret;
  m_hop.Run([&] {
    serialNumber = m_serialNumber;
    if (!serialNumber.isEmpty()) {
      NormaliseSecret();
      secret = m_secret;
    }
  });
  if (serialNumber.isEmpty()) {
    ShowMessage(ui::kCaptionError, QStringLiteral("No token or card detected!"));
  } else if (secret.isEmpty()) {
    ShowMessage(ui::kCaptionError, QStringLiteral("No seed found!"));
  } else {
    std::array<uint8_t, 512> bytes{};
    int n = 0;
    try {
      n = seed::Base32Decode(app::WideToAnsiChecked(secret).constData(), bytes.data());
    } catch (const app::TextConversionError&) {
      n = 0;  // written as no bytes, which the seed write refuses
    }
    if (AuthenticateWithReport(readerName) != 0) {
      // Nothing is booked and the burn stays pending, but this token is not
      // tried again until it is laid anew or Burn/Stop is pressed: every try
      // costs the token one of its few authentication tries.
      BurnArmed = 0;
      return 0;
    }
    Choices choices;
    m_hop.Run([&] { choices = ReadChoices(); });
    const int algorithm =
        choices.algorithm == "SHA256" ? tokenlink::kSeedAlgorithmSha256 : tokenlink::kSeedAlgorithmSha1;
    const QByteArray reader = app::WideToAnsi(readerName);
    const QByteArray key = app::WideToAnsi(app::CustomerKey());
    const int32_t r = tokenlink::WriteSeed(reader.constData(), key.constData(), bytes.data(), n, algorithm);
    if (r != 0) {
      ShowMessage(ui::kCaptionError, QStringLiteral("Failed to program the token! Error: ") + CodeText(r));
    } else {
      success = true;
    }
  }

  // The booking is never dropped, not even by a closing window: a programmed
  // token whose secret is not exported is lost.
  m_hop.RunAlways([&] {
    m_burnMode = 0;
    m_burnButton->setText(QStringLiteral("Burn"));
    ++m_totalCount;
    if (success) {
      WriteExportLines();
      AddLogRow(m_serialNumber, m_userName, QStringLiteral("Succeeded"));
      ui::ShowOperatorMessage(this, ui::kCaptionStation, QStringLiteral("Token successfully programmed!"));
      ++m_successCount;
    } else {
      AddLogRow(m_serialNumber, m_userName, QStringLiteral("Failed"));
      ++m_failCount;
    }
    m_ui->totalCountLabel->setText(QString::number(m_totalCount));
    m_ui->successCountLabel->setText(QString::number(m_successCount));
    m_ui->failCountLabel->setText(QString::number(m_failCount));
    BurnArmed = 0;
  });
  return success ? 1 : 0;
}

void CVantorDlg::OnSeal() {
  const QString readerName = app::SelectedReaderName();
  if (AuthenticateWithReport(readerName) != 0) return;
  const QByteArray key = app::WideToAnsi(app::CustomerKey());
  const QByteArray reader = app::WideToAnsi(readerName);
  const int32_t r = tokenlink::SealToken(reader.constData(), key.constData());
  if (r == 0) {
    ShowMessage(ui::kCaptionHints, QStringLiteral("CardSeal success!"));
  } else {
    ShowMessage(ui::kCaptionHints, QStringLiteral("CardSeal failed![") + CodeText(r) + QStringLiteral("]"));
  }
}

void CVantorDlg::OnSyncClock() {
  if (m_serialNumber.isEmpty()) {
    ShowMessage(ui::kCaptionError, QStringLiteral("No token or card detected!"));
    return;
  }
  const QString readerName = app::SelectedReaderName();
  if (AuthenticateWithReport(readerName) != 0) return;
  UpdateComputerClock();
  const QByteArray timeText = app::WideToAnsi(TokenTimeText(app::WideToAnsi(m_computerClock)));
  const QByteArray key = app::WideToAnsi(app::CustomerKey());
  const QByteArray reader = app::WideToAnsi(readerName);
  const int32_t r = tokenlink::SyncTokenClock(reader.constData(), key.constData(), timeText.constData(), 0);
  if (r == 0) {
    ShowMessage(ui::kCaptionStation, QStringLiteral("Token clock successfuly synchronized!"));
  } else {
    ShowMessage(ui::kCaptionError, QStringLiteral("config failed![") + CodeText(r) + QStringLiteral("]"));
  }
}
