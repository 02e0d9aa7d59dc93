// The burn workflow (preparation on the window's thread, seed write on the
// card monitor's), the authentication step with its messages, the bookings,
// Seal and Sync.
#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <openssl/crypto.h>

#include "app_values.h"
#include "base32.h"
#include "failure_causes.h"
#include "operator_messages.h"
#include "text_convert.h"
#include "token_clock.h"
#include "token_commands.h"
#include "ui_vantor_dlg.h"
#include "vantor_dlg.h"
#include "window_clock.h"

namespace {

constexpr int kBurnPauseMs = 500;
// The cloud directory's hardware-token import takes a secret of at most 128
// Base32 characters, which hold 80 bytes.
constexpr std::size_t kAzureSecretBytes = 80;
constexpr std::size_t kSerialCapacity = 32;
constexpr std::size_t kClockCapacity = 64;

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

// The authentication could not be carried out at all, so no try was spent.
bool ExchangeFailed(int32_t code) {
  return code == tokenlink::TL_E_NO_DEVICE || code == tokenlink::TL_E_AUTH_EXCHANGE;
}

QString ExportFileWord(ui::ExportFile file) {
  switch (file) {
    case ui::ExportFile::Hex:
      return QStringLiteral("HEX");
    case ui::ExportFile::Base32:
      return QStringLiteral("B32");
    case ui::ExportFile::Azure:
      return QStringLiteral("Azure");
  }
  return {};
}

// The secret text's bytes; none when it is not Base32 or not 8-bit text.
std::vector<uint8_t> DecodeSecret(const QString& secret) {
  std::array<uint8_t, 512> area{};
  int n = 0;
  try {
    n = seed::Base32Decode(app::WideToAnsiChecked(secret).constData(), area.data());
  } catch (const app::TextConversionError&) {
    n = 0;  // written as no bytes, which the seed write refuses
  }
  std::vector<uint8_t> bytes(area.begin(), area.begin() + std::max(n, 0));
  OPENSSL_cleanse(area.data(), area.size());
  return bytes;
}

const QString kLongSecretQuestion = QStringLiteral(
    "The secret is longer than 128 characters: the cloud directory will not import this token. Burn anyway?");

QString SecretTwiceQuestion(const QString& serialNumber) {
  return QStringLiteral("This secret was already programmed into token %1. Burn it into this token too?")
      .arg(serialNumber);
}

}  // namespace

bool CVantorDlg::ShowMessage(const QString& caption, const QString& text) {
  // From the card monitor this holds the monitor until the box is dismissed.
  return m_hop.Run([&] { ui::ShowOperatorMessage(this, caption, text); });
}

int32_t CVantorDlg::AuthenticateWithReport(const QString& readerName) {
  const QByteArray reader = app::WideToAnsi(readerName);
  QByteArray key = app::WideToAnsi(app::CustomerKey());
  const int32_t r = tokenlink::AuthenticateCustomerKey(reader.constData(), key.constData());
  OPENSSL_cleanse(key.data(), static_cast<std::size_t>(key.size()));
  if (r != 0) ShowMessage(ui::kCaptionError, AuthenticationMessage(r));
  return r;
}

void CVantorDlg::OnBurn() {
  if (IgnoringInput()) return;
  m_burnButton->setEnabled(false);
  m_burnButtonHeld = true;
  auto release = [this] {
    m_burnButtonHeld = false;
    m_burnButton->setEnabled(true);
    OnRefreshView();
  };
  if (!m_burnMode) {
    NormaliseSecret();
    std::vector<uint8_t> secret = DecodeSecret(m_secret);
    const bool agreed = OperatorAgreesToBurn(m_serialBytes, secret, m_exportCheck->isChecked());
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    // The window may have begun closing while the question was on screen.
    if (!agreed || IgnoringInput()) {
      m_agreedBurn.reset();
      release();
      return;
    }
    if (m_exportCheck->isChecked()) OpenExportFiles();
    if (!PrepareTokenForBurn()) {
      m_agreedBurn.reset();
      release();
      return;
    }
  } else {
    m_agreedBurn.reset();  // Stop
  }
  m_cardMonitor.ArmBurn();
  m_burnMode = !m_burnMode;
  m_cardMonitor.SetBurnPending(m_burnMode);
  SetBurnCaption(m_burnMode ? QStringLiteral("Stop") : QStringLiteral("Burn"));
  // The pause keeps the button disabled without holding up the window.
  QTimer::singleShot(kBurnPauseMs, this, release);
}

QString CVantorDlg::TokenClockNow() const {
  if (!m_tokenClockSeconds) return TokenTimeText(app::WideToAnsi(m_tokenClock));
  // The clock goes on running in the token: what was read is older by now.
  const int64_t elapsedMs = std::max<int64_t>(0, ui::ActiveWindowClock().MonotonicMs() - m_tokenClockReadAtMs);
  const int64_t now = static_cast<int64_t>(*m_tokenClockSeconds) + elapsedMs / 1000;
  const std::string clockText = tokenlink::ClockText(tokenlink::ClockFieldsOf(now));
  return TokenTimeText(QByteArray::fromStdString(clockText));
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
    clock = TokenClockNow();
  }
  const QByteArray clockText = app::WideToAnsi(clock);
  QByteArray key = app::WideToAnsi(app::CustomerKey());
  const QByteArray reader = app::WideToAnsi(readerName);
  const int32_t r = tokenlink::ConfigureToken(reader.constData(), key.constData(), choices.algorithm.constData(),
                                              choices.timeWindow, choices.displayTime, clockText.constData(), 0);
  OPENSSL_cleanse(key.data(), static_cast<std::size_t>(key.size()));
  if (r != 0) {
    ShowMessage(ui::kCaptionError, QStringLiteral("config failed![") + ui::CodeText(r) + QStringLiteral("]"));
    return false;
  }
  m_burnChoices = choices;
  return true;
}

bool CVantorDlg::OperatorAgreesToBurn(const QByteArray& serialBytes, const std::vector<uint8_t>& secret,
                                      bool exportLines) {
  // A secret with no bytes never reaches a token: the seed write refuses it,
  // and the failure is booked as such.
  if (secret.empty()) return true;
  const std::optional<QByteArray> digest = ui::BurnedSecrets::Digest(secret);
  if (digest && m_agreedBurn && m_agreedBurn->digest == *digest && m_agreedBurn->serialBytes == serialBytes &&
      (m_agreedBurn->exportLines || !exportLines))
    return true;
  if (exportLines && secret.size() > kAzureSecretBytes &&
      !ui::AskOperator(this, ui::kCaptionStation, kLongSecretQuestion))
    return false;
  if (!digest) {
    // libcrypto could not hash the secret (out of memory): this run's burns
    // cannot be compared with it, and the operator decides.
    if (!ui::AskOperator(this, ui::kCaptionStation,
                         QStringLiteral("This secret cannot be compared with the tokens programmed so far. "
                                        "Burn it anyway?")))
      return false;
  } else if (const std::optional<QString> other = m_burnedSecrets.OtherToken(*digest, serialBytes)) {
    if (!ui::AskOperator(this, ui::kCaptionStation, SecretTwiceQuestion(*other))) return false;
  }
  if (digest) m_agreedBurn = AgreedBurn{*digest, serialBytes, exportLines};
  return true;
}

void CVantorDlg::LeaveBurnMode() {
  m_burnMode = false;
  m_agreedBurn.reset();
  m_cardMonitor.SetBurnPending(false);
  m_cardMonitor.EndBurnAttempt();
  SetBurnCaption(QStringLiteral("Burn"));
  OnRefreshView();
}

bool CVantorDlg::BurnWanted() { return m_burnMode && !m_serialNumber.isEmpty() && !m_closing; }

ui::BurnRecord CVantorDlg::CaptureBurnRecord() {
  ui::BurnRecord record;
  record.serialBytes = m_serialBytes;
  record.serialNumber = m_serialNumber;
  record.choices = m_burnChoices;
  record.exportLines = m_exportCheck->isChecked();
  record.userName = record.exportLines ? m_userNameEdit->text() : m_userName;
  record.time = ui::ActiveWindowClock().Now();
  if (!record.serialNumber.isEmpty()) {
    NormaliseSecret();
    record.secretText = m_secret;
    record.secretBytes = DecodeSecret(m_secret);
  }
  return record;
}

bool CVantorDlg::ConfirmTokenSerial(const QString& readerName, const ui::BurnRecord& record) {
  const QByteArray reader = app::WideToAnsi(readerName);
  tokenlink::TokenInfo info;
  const int32_t rc = tokenlink::ReadTokenInfo(reader.constData(), kSerialCapacity, kClockCapacity, &info);
  if (rc == 0 && QByteArray::fromStdString(info.serialNumber) == record.serialBytes) return true;
  // Another token (or none readable) lies in the field now: show it, and let
  // the pending burn take it up under its own serial number.
  m_cardMonitor.ReadTokenAgain();
  const int64_t readAt = ui::ActiveWindowClock().MonotonicMs();
  m_hop.Post([this, rc, info, readAt] {
    OnTokenInfoRead(rc, info, readAt);
    OnRefreshView();
  });
  return false;
}

void CVantorDlg::BurnToken(const QString& readerName) {
  std::optional<ui::BurnRecord> captured;
  // A window that is closing hands nothing over, and then nothing is written.
  // The window is asked again here: since the monitor asked, the token may
  // have left (a pass of the reader list between the two calls) and then
  // there is nothing to burn, nor to book.
  if (!m_hop.Run([&] {
        if (!BurnWanted() || m_cardMonitor.Refused(m_serialBytes)) return;
        captured = CaptureBurnRecord();
        // The token or the secret may have changed since Burn was pressed:
        // what is burned now must be what the operator agreed to.
        if (!captured->serialNumber.isEmpty() &&
            !OperatorAgreesToBurn(captured->serialBytes, captured->secretBytes, captured->exportLines)) {
          captured.reset();
          LeaveBurnMode();
        }
      }))
    return;
  // No token any more, this one refused the key, or the operator said No; the
  // burn stays pending unless the operator said No.
  if (!captured) return;
  const ui::BurnRecord& record = *captured;

  bool success = false;
  if (record.serialNumber.isEmpty()) {
    ShowMessage(ui::kCaptionError, QStringLiteral("No token or card detected!"));
  } else if (record.secretText.isEmpty()) {
    ShowMessage(ui::kCaptionError, QStringLiteral("No seed found!"));
  } else {
    const int32_t auth = AuthenticateWithReport(readerName);
    if (auth != 0) {
      // Nothing is booked and the burn stays pending. When the exchange
      // itself failed (the card left the field, the service went away), the
      // token judged no key: it is tried again once it is back. A token that
      // refused the key is not tried again until Burn/Stop is pressed,
      // however often it is laid anew; another token is taken up once it
      // arrives.
      if (!ExchangeFailed(auth)) {
        m_cardMonitor.RefuseToken(record.serialBytes);
        m_cardMonitor.EndBurnAttempt();
      }
      return;
    }
    if (!ConfirmTokenSerial(readerName, record)) return;
    // The window began closing while the burn authenticated: the operator has
    // left, so the token is left as it is and nothing is booked.
    if (m_hop.Closing()) return;
    const int algorithm =
        record.choices.algorithm == "SHA256" ? tokenlink::kSeedAlgorithmSha256 : tokenlink::kSeedAlgorithmSha1;
    const QByteArray reader = app::WideToAnsi(readerName);
    QByteArray key = app::WideToAnsi(app::CustomerKey());
    // A secret that does not decode is written as no bytes, which the seed
    // write refuses for its length.
    static const uint8_t kNoBytes[1] = {};
    const uint8_t* bytes = record.secretBytes.empty() ? kNoBytes : record.secretBytes.data();
    const int32_t r = tokenlink::WriteSeed(reader.constData(), key.constData(), bytes,
                                           static_cast<int>(record.secretBytes.size()), algorithm);
    OPENSSL_cleanse(key.data(), static_cast<std::size_t>(key.size()));
    if (r != 0) {
      ShowMessage(ui::kCaptionError, QStringLiteral("Failed to program the token! Error: ") + ui::CodeText(r));
    } else {
      success = true;
    }
  }
  // The booking is never dropped, not even by a closing window: a programmed
  // token whose secret is not exported is lost.
  m_hop.RunAlways([&] { BookBurn(record, success); });
}

void CVantorDlg::BookBurn(const ui::BurnRecord& record, bool success) {
  m_burnMode = false;
  m_agreedBurn.reset();
  m_cardMonitor.SetBurnPending(false);
  SetBurnCaption(QStringLiteral("Burn"));
  ++m_totalCount;
  if (success) {
    std::optional<ui::ExportFile> writeFailure;
    if (record.exportLines) {
      m_userName = record.userName;
      writeFailure = m_exports.WriteLines(record);
    }
    AddLogRow(record.serialNumber, m_userName, QStringLiteral("Succeeded"));
    // The digest fails only when libcrypto runs out of memory; this burn is
    // then not recognised by a later one.
    if (const std::optional<QByteArray> digest = ui::BurnedSecrets::Digest(record.secretBytes)) {
      m_burnedSecrets.Book(*digest, record.serialBytes, record.serialNumber);
    }
    ui::ShowOperatorMessage(this, ui::kCaptionStation, QStringLiteral("Token successfully programmed!"));
    if (writeFailure) {
      // The set is closed, so that the next Burn with the box ticked starts
      // a new one rather than adding to a file that has lost a line.
      m_exports.Close();
      ui::ShowOperatorMessage(this, QCoreApplication::applicationName(),
                              QStringLiteral("Failed to write %1 seed file").arg(ExportFileWord(*writeFailure)),
                              ui::MessageIcon::Error);
    }
    ++m_successCount;
  } else {
    AddLogRow(record.serialNumber, m_userName, QStringLiteral("Failed"));
    ++m_failCount;
  }
  ShowCount(m_ui->totalCountLabel, m_totalCount);
  ShowCount(m_ui->successCountLabel, m_successCount);
  ShowCount(m_ui->failCountLabel, m_failCount);
  m_cardMonitor.EndBurnAttempt();
  OnRefreshView();
}

void CVantorDlg::OpenExportFiles() {
  if (m_exports.IsComplete()) return;
  // Files left from an incomplete set are closed before a new set is tried.
  const std::optional<ui::ExportFile> missing =
      m_exports.Open(ui::ExportDirectory(), ui::ActiveWindowClock().Now().toLocalTime());
  if (missing) {
    ui::ShowOperatorMessage(this, QCoreApplication::applicationName(),
                            QStringLiteral("Failed to create %1 seed file").arg(ExportFileWord(*missing)),
                            ui::MessageIcon::Error);
  }
}

void CVantorDlg::OnSeal() {
  if (IgnoringInput()) return;
  const QString readerName = app::SelectedReaderName();
  if (AuthenticateWithReport(readerName) != 0) return;
  QByteArray key = app::WideToAnsi(app::CustomerKey());
  const QByteArray reader = app::WideToAnsi(readerName);
  const int32_t r = tokenlink::SealToken(reader.constData(), key.constData());
  OPENSSL_cleanse(key.data(), static_cast<std::size_t>(key.size()));
  if (r == 0) {
    ShowMessage(ui::kCaptionHints, QStringLiteral("CardSeal success!"));
  } else {
    ShowMessage(ui::kCaptionHints, QStringLiteral("CardSeal failed![") + ui::CodeText(r) + QStringLiteral("]"));
  }
}

void CVantorDlg::OnSyncClock() {
  if (IgnoringInput()) return;
  if (m_serialNumber.isEmpty()) {
    ShowMessage(ui::kCaptionError, QStringLiteral("No token or card detected!"));
    return;
  }
  const QString readerName = app::SelectedReaderName();
  if (AuthenticateWithReport(readerName) != 0) return;
  UpdateComputerClock();
  const QByteArray timeText = app::WideToAnsi(TokenTimeText(app::WideToAnsi(m_computerClock)));
  QByteArray key = app::WideToAnsi(app::CustomerKey());
  const QByteArray reader = app::WideToAnsi(readerName);
  const int32_t r = tokenlink::SyncTokenClock(reader.constData(), key.constData(), timeText.constData(), 0);
  OPENSSL_cleanse(key.data(), static_cast<std::size_t>(key.size()));
  if (r == 0) {
    ShowMessage(ui::kCaptionStation, QStringLiteral("Token clock successfuly synchronized!"));
  } else {
    ShowMessage(ui::kCaptionError, QStringLiteral("config failed![") + ui::CodeText(r) + QStringLiteral("]"));
  }
}
