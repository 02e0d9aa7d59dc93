// The seed sources of the window (seed files, QR codes from the screen or an
// image file, random secrets) and the code preview behind "Test".
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QComboBox>
#include <QRadioButton>
#include <QTimer>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <QFile>

#include "file_dialogs.h"
#include "pskc_credentials.h"
#include "operator_messages.h"
#include "otp_dialog.h"
#include "otpauth.h"
#include "qr_scan.h"
#include "random_seed.h"
#include "screen_capture.h"
#include "seed_file.h"
#include "sound_cue.h"
#include "text_convert.h"
#include "ui_vantor_dlg.h"
#include "vantor_dlg.h"

namespace {

// A PSKC file is chosen through "All Files": it is known by its content.
const QString kSeedFileFilter = QStringLiteral("CSV Files (*.csv);;All Files (*.*)");

const QString kImageFileFilter = QStringLiteral("PNG Files (*.png);;JPG Files (*.jpg)");

// Long enough for the window to be off the screen before the picture is taken.
constexpr int kMinimisePauseMs = 333;

// Lets the window's thread go on serving the monitors' hand-overs and its
// timers; the operator's input waits.
void PauseWithoutBlocking(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void ShowError(QWidget* owner, const QString& text) { ui::ShowOperatorMessage(owner, ui::kCaptionError, text); }

}  // namespace

void CVantorDlg::OnTest() {
  if (IgnoringInput()) return;
  NormaliseSecret();
  if (m_secret.isEmpty()) return;
  const Choices choices = ReadChoices();
  CDiaLogOTP preview(this);
  preview.m_secretText = m_secret;
  preview.m_digits = 6;
  preview.m_timeStep = choices.timeWindow;
  preview.m_algorithm = choices.algorithm == "SHA1" ? seed::OtpAlgorithm::Sha1 : seed::OtpAlgorithm::Sha256;
  try {
    preview.exec();
  } catch (const app::TextConversionError&) {
    // A secret without an 8-bit form has no codes to show.
  }
}

QString CVantorDlg::ClearSecretAndChooseFile(const QString& filter) {
  if (IgnoringInput()) return {};
  // A source starts from an empty secret, also when its dialog is cancelled.
  m_secret.clear();
  m_secretEdit->clear();
  return ui::ChooseFileToOpen(this, filter);
}

void CVantorDlg::OnLoadSeedFile() {
  const QString path = ClearSecretAndChooseFile(kSeedFileFilter);
  if (path.isEmpty()) return;
  QFile probe(path);
  if (probe.open(QIODevice::ReadOnly) && pskc::LooksLikePskc(probe.read(64 * 1024))) {
    probe.close();
    LoadPskcSeedFile(path);
    return;
  }
  if (!sources::LoadSeedFile(path)) {
    ShowError(this, QStringLiteral("Failed to load seed file!"));
    return;
  }
  ShowSourcePath(path);
  LookUpSeedBySerial();
}

void CVantorDlg::LoadPskcSeedFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    ShowError(this, QStringLiteral("Failed to load seed file!"));
    return;
  }
  const QByteArray bytes = file.readAll();
  // The key or password the station was started with, or one typed now.
  const pskc::Credential::Kind needed = pskc::NeededCredential(bytes);
  pskc::Credential credential;
  if (needed != pskc::Credential::Kind::None) {
    const std::optional<pskc::Credential>& given = ui::PskcCredential();
    if (given && given->kind == needed) {
      credential = *given;
    } else {
      const bool password = needed == pskc::Credential::Kind::Password;
      const std::optional<QString> typed = ui::AskSecretText(
          this, password ? QStringLiteral("The PSKC file is protected by a password. Password:")
                         : QStringLiteral("The PSKC file is protected by a key. Key (32 hexadecimal digits):"));
      if (!typed) return;
      if (password) {
        credential = pskc::Credential::FromPassword(*typed);
      } else {
        const std::optional<QByteArray> key = pskc::KeyFromHex(typed->toLatin1());
        if (!key) {
          ShowError(this, QStringLiteral("Failed to load seed file!\nThe key is not 32 hexadecimal digits."));
          return;
        }
        credential = pskc::Credential::FromKey(*key);
      }
    }
  }
  const sources::PskcLoad load = sources::LoadPskcSeedFile(bytes, credential);
  if (!load.error.isEmpty()) {
    ShowError(this, QStringLiteral("Failed to load seed file!\n") + load.error);
    return;
  }
  ShowSourcePath(path);
  // The file's own hash and time window go into its tokens: the operator is
  // told where they differ from the window's choices, which follow each
  // listed token as it is shown.
  const station::Choices shown = ReadChoices();
  QStringList differing;
  for (const sources::SeedSettings& s : load.settings) {
    if ((s.algorithm && *s.algorithm != shown.algorithm) || (s.timeWindow && *s.timeWindow != shown.timeWindow)) {
      differing << sources::SeedSettingsText(s);
    }
  }
  if (!differing.isEmpty()) {
    ui::ShowOperatorMessage(this, ui::kCaptionHints,
                            QStringLiteral("The PSKC file gives its tokens %1: each listed token is burned with "
                                           "the file's settings, which the window shows when the token is laid.")
                                .arg(differing.join(QStringLiteral(", "))));
  }
  LookUpSeedBySerial();
}

void CVantorDlg::ApplySeedSettings(const sources::SeedSettings& settings) {
  // setChecked sends no click notification; the button groups uncheck the
  // other button of each pair.
  if (settings.timeWindow) {
    (*settings.timeWindow == 60 ? m_ui->timeWindow60Radio : m_ui->timeWindow30Radio)->setChecked(true);
  }
  if (settings.algorithm) {
    (*settings.algorithm == "SHA256" ? m_ui->sha256Radio : m_ui->sha1Radio)->setChecked(true);
  }
}

void CVantorDlg::OnScanScreen() {
  if (IgnoringInput()) return;
  m_secret.clear();
  m_secretEdit->clear();
  showMinimized();
  PauseWithoutBlocking(kMinimisePauseMs);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const QImage picture = ui::CapturePrimaryScreen();
  QApplication::restoreOverrideCursor();
  showNormal();
  activateWindow();
  const std::optional<sources::GreyImage> grey = ui::ScreenGreyImage(picture);
  if (!grey) {
    ShowError(this, QStringLiteral("Something has gone wrong!"));
    return;
  }
  if (!ApplyQrPayloads(*grey)) ShowError(this, QStringLiteral("No QR Code found on the screen!"));
}

void CVantorDlg::OnLoadImageFile() {
  const QString path = ClearSecretAndChooseFile(kImageFileFilter);
  if (path.isEmpty()) return;
  if (!LoadImageCodes(path)) {
    ShowError(this, QStringLiteral("Incorrect QR code file!"));
    return;
  }
  ShowSourcePath(path);
}

bool CVantorDlg::LoadImageCodes(const QString& path) {
  // stb_image finds the format in the content, whatever the file's name says.
  const std::optional<sources::GreyImage> image = sources::LoadGreyImage(app::WideToAnsi(path).toStdString());
  if (!image) return false;
  return ApplyQrPayloads(*image);
}

bool CVantorDlg::ApplyQrPayloads(const sources::GreyImage& image) {
  if (image.width < 0 || image.height < 0) {
    ShowError(this, QStringLiteral("QR : Failed to allocate video memory!"));
    return false;
  }
  std::vector<sources::QrCode> codes;
  try {
    codes = sources::RecogniseQrCodes(image);
  } catch (const std::bad_alloc&) {
    // The recogniser's working copies of the picture did not fit.
    ShowError(this, QStringLiteral("QR : Failed to allocate video memory!"));
    return false;
  }
  for (const sources::QrCode& code : codes) {
    if (!code.decoded) {
      // The codes after a broken one are not looked at.
      ShowError(this, QStringLiteral("QR : Failed to decode!"));
      return false;
    }
    // A code whose secret the window cannot use counts as no otpauth code.
    const sources::ParsedUri uri = sources::ParseUri(code.payload);
    if (sources::IsUsableOtpauthUri(uri)) {
      ApplyOtpauthUri(uri);
      return true;
    }
  }
  return false;
}

void CVantorDlg::ApplyOtpauthUri(const sources::ParsedUri& uri) {
  const std::string secret = sources::QueryValue(uri, "secret");
  if (!secret.empty()) {
    // As the code carries it: the encoding list decides at the next refresh
    // how it is read.
    const QString text = app::AnsiToWide(QByteArray::fromStdString(secret));
    m_secret = text;
    m_secretEdit->setText(text);
    ui::PlaySecretCue();
  }
  // setChecked sends no click notification; the button groups uncheck the
  // other button of each pair.
  const std::string period = sources::QueryValue(uri, "period");
  if (!period.empty()) {
    if (const std::optional<int> window = sources::PeriodChoice(period)) {
      (*window == 60 ? m_ui->timeWindow60Radio : m_ui->timeWindow30Radio)->setChecked(true);
    }
  }
  const std::string algorithm = sources::QueryValue(uri, "algorithm");
  if (!algorithm.empty()) {
    if (const std::optional<std::string> choice = sources::AlgorithmChoice(algorithm)) {
      (*choice == "SHA1" ? m_ui->sha1Radio : m_ui->sha256Radio)->setChecked(true);
    }
  }
}

void CVantorDlg::GenerateRandomSeed(int byteCount) {
  if (IgnoringInput()) return;
  const auto encoding = m_encodingCombo->currentIndex() == 0 ? seed::SeedEncoding::Base32 : seed::SeedEncoding::Hex;
  const std::optional<std::string> text = sources::RandomSeedText(static_cast<std::size_t>(byteCount), encoding);
  // A source that fails changes nothing and says nothing.
  if (!text) return;
  const QString secret = app::AnsiToWide(QByteArray::fromStdString(*text));
  m_secret = secret;
  m_secretEdit->setText(secret);
  ui::PlaySecretCue();
}

void CVantorDlg::ShowSourcePath(const QString& path) {
  m_ui->seedFileCaptionLabel->show();
  m_ui->seedFilePathLabel->show();
  m_seedFilePath = path;
  ShowBoundTexts();
}
