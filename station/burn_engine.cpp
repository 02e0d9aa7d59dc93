// The burn workflow's state machine and the driver that carries out its actions.
#include "burn_engine.h"

#include <QCoreApplication>
#include <array>
#include <openssl/crypto.h>

#include "base32.h"
#include "text_convert.h"

namespace station {
namespace {

using tokenlink::Delivery;

// The cloud directory's hardware-token import takes a secret of at most 128
// Base32 characters; its line carries the text without "=" padding.
constexpr int kAzureSecretCharacters = 128;

const QString kProgrammed = QStringLiteral("Token successfully programmed!");
const QString kLongSecretQuestion = QStringLiteral(
    "The secret is longer than 128 characters: the cloud directory will not import this token. Burn anyway?");
const QString kNotComparableQuestion = QStringLiteral(
    "This secret cannot be compared with the tokens programmed so far. Burn it anyway?");

QString LeftOutQuestion(ExportFile file) {
  if (file == ExportFile::Azure) {
    return QStringLiteral(
        "The cloud directory takes SHA-1 tokens only: this SHA-256 token gets no line in the Azure file. Burn "
        "anyway?");
  }
  return QStringLiteral("This token gets no line in the %1 file. Burn anyway?").arg(ExportFileLabel(file));
}

QString SecretTwiceQuestion(const QString& serialNumber) {
  return QStringLiteral("This secret was already programmed into token %1. Burn it into this token too?")
      .arg(serialNumber);
}

// The cryptogram left and no verdict came back: the token may have counted a
// try. It is not tried again by itself; the operator decides.
const QString kAuthAnswerLost = QStringLiteral(
    "Authentication process failed! The token's answer was lost, so it is not tried again by itself: "
    "press Burn to try again.");

QString SeedAnswerLost(const QString& serialNumber) {
  return QStringLiteral(
             "The token's answer to the seed write was lost: token %1 may hold the secret. Lay it on the reader "
             "again to finish the burn, or press Stop.")
      .arg(serialNumber);
}

QString OutcomeUnknown(const QString& serialNumber) {
  return QStringLiteral(
             "The burn was stopped while its outcome was unknown: token %1 may hold the secret, which is in no "
             "export file. Burn the token again before it is used.")
      .arg(serialNumber);
}

// A press is for the token the operator sees; another one laid in its place
// before the card monitor looked is not tried under that press.
QString NotThePressedToken(const QString& pressed, const QString& inField) {
  return QStringLiteral(
             "Token %2 lies on the reader in place of token %1, which was shown when the button was pressed: "
             "nothing was sent to it. Check the token shown and press again.")
      .arg(pressed, inField);
}

QString ConfigFailed(int32_t code) { return QStringLiteral("config failed![") + app::CodeText(code) + u']'; }

}  // namespace

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

std::vector<uint8_t> DecodeSecret(const QString& secretText) {
  std::array<uint8_t, 512> area{};
  int n = 0;
  try {
    n = seed::Base32Decode(app::WideToAnsiChecked(secretText).constData(), area.data());
  } catch (const app::TextConversionError&) {
    n = 0;  // written as no bytes, which the seed write refuses
  }
  std::vector<uint8_t> bytes(area.begin(), area.begin() + std::max(n, 0));
  OPENSSL_cleanse(area.data(), area.size());
  return bytes;
}

BurnEngine::BurnEngine(ExportSink& exports, std::function<QDateTime()> now)
    : m_exports(exports), m_now(std::move(now)) {}

std::vector<Action> BurnEngine::Handle(const Event& event) {
  Actions out;
  if (m_stage == Stage::Closed) return out;
  std::visit(
      [&](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, TokenSeen>) {
          OnTokenSeen(e, out);
        } else if constexpr (std::is_same_v<E, TokenGone>) {
          OnTokenGone();
        } else if constexpr (std::is_same_v<E, BurnPressed>) {
          OnBurnPressed(e, out);
        } else if constexpr (std::is_same_v<E, StopPressed>) {
          OnStop(out);
        } else if constexpr (std::is_same_v<E, SyncPressed>) {
          OnOneShot(OneShotKind::Sync, out);
        } else if constexpr (std::is_same_v<E, SealPressed>) {
          OnOneShot(OneShotKind::Seal, out);
        } else if constexpr (std::is_same_v<E, ReaderConnected>) {
          OnTokenGone();
        } else if constexpr (std::is_same_v<E, Closing>) {
          OnClosing(out);
        } else if constexpr (std::is_same_v<E, Answer>) {
          OnAnswer(e, out);
        } else if constexpr (std::is_same_v<E, CommandDone>) {
          OnCommandDone(e.outcome, out);
        } else if constexpr (std::is_same_v<E, MessageDismissed>) {
          OnDismissed(out);
        }
      },
      event);
  return out;
}

// Tokens in the field.

void BurnEngine::OnTokenSeen(const TokenSeen& seen, Actions& out) {
  m_field = seen.token;
  m_form = seen.form;
  m_awaitingReturn = false;
  TakeUpIfReady(out);
}

void BurnEngine::OnTokenGone() {
  m_field.reset();
  // Whatever comes next is read anew, and may be taken up then.
  m_awaitingReturn = false;
}

void BurnEngine::TakeUpIfReady(Actions& out) {
  if (m_stage != Stage::Pending || !m_field || m_awaitingReturn) return;
  // Refused tokens are known by their serial number, and the token in the
  // field may have been swapped since it was shown: read it before anything
  // that spends a try.
  m_stage = Stage::TakeUpRead;
  Run(CommandKind::ReadSerial, out);
}

void BurnEngine::AwaitReturn(Actions& out) {
  m_awaitingReturn = true;
  out.push_back(ReadTokenAgain{});
}

void BurnEngine::Run(CommandKind kind, Actions& out) {
  Command command;
  command.kind = kind;
  command.choices = m_pressChoices;
  command.syncClock = m_pressSyncClock;
  command.record = m_record;
  out.push_back(RunCommand{std::move(command)});
}

// Presses.

void BurnEngine::OnBurnPressed(const BurnPressed& press, Actions& out) {
  if (m_stage != Stage::Idle) {
    // The button reads "Stop" while a burn is pending.
    if (m_burnPending) OnStop(out);
    return;
  }
  m_form = press.form;
  m_pressToken = m_field;
  m_exportsTried = false;
  m_pressChoices = press.form.choices;
  m_pressSyncClock = press.form.syncClock;
  m_refused.clear();
  m_prepared.reset();
  m_lostWrite.reset();
  m_agreed.reset();
  // The questions are asked for the token shown and the secret in the box.
  BurnRecord asked;
  asked.secretText = m_form.secretText;
  asked.secretBytes = DecodeSecret(m_form.secretText);
  asked.choices = m_form.choices;
  asked.exportLines = m_form.exportLines;
  const QByteArray serial = m_field ? m_field->serialBytes : QByteArray();
  m_questions = QuestionsFor(serial, asked);
  if (!m_questions.empty()) {
    m_asked = Asked::Press;
    m_stage = Stage::Asking;
    AskNext(out);
    return;
  }
  Agree(serial, asked);
  StartPreparation(out);
}

void BurnEngine::StartPreparation(Actions& out) {
  if (OpenExportsFirst(m_form.exportLines, Asked::Press, out)) return;
  // The token may have been swapped since it was shown, or while a question
  // or message was on screen: read it before anything that spends a try.
  m_stage = Stage::PrepareRead;
  Run(CommandKind::ReadSerial, out);
}

bool BurnEngine::IsPressedToken(const std::optional<FieldToken>& pressed, const Outcome& read, Actions& out) {
  if (read.code != 0) {
    // Nothing that spends a try was sent; the card monitor reads the field anew.
    out.push_back(ShowMessage{kCaptionError, AuthenticationMessage(read.code)});
    out.push_back(ReadTokenAgain{});
    return false;
  }
  if (pressed && pressed->serialBytes != read.token.serialBytes) {
    out.push_back(ShowMessage{kCaptionError, NotThePressedToken(pressed->serialNumber, read.token.serialNumber)});
    out.push_back(ReadTokenAgain{});
    return false;
  }
  // With no token known yet (the card monitor's read of it still on its
  // way), the press is for the token on the reader.
  return true;
}

bool BurnEngine::OpenExportsFirst(bool exportLines, Asked resume, Actions& out) {
  // One try a burn: a set that could not be created is reported once, and
  // the next press tries anew.
  if (!exportLines || m_exports.IsComplete() || m_exportsTried) return false;
  m_exportsTried = true;
  const std::optional<ExportFile> missing = m_exports.Open();
  if (!missing) return false;
  // The next press makes a new set, which is asked about anew.
  m_leavingOutAgreed.clear();
  // The set's failure does not stop the burn (its lines are skipped), but
  // nothing more is sent while the operator reads about it.
  out.push_back(ShowMessage{QCoreApplication::applicationName(),
                            QStringLiteral("Failed to create %1 seed file").arg(ExportFileLabel(*missing)),
                            MessageIcon::Error, true});
  m_asked = resume;
  m_stage = Stage::Notifying;
  return true;
}

void BurnEngine::OnDismissed(Actions& out) {
  // A Stop or a close while the message was on screen has ended the burn.
  if (m_stage != Stage::Notifying) return;
  if (m_asked == Asked::Press) {
    m_stage = Stage::PrepareRead;
    Run(CommandKind::ReadSerial, out);
    return;
  }
  // The token may have been swapped while the message was on screen: it is
  // read again before it is taken up.
  m_stage = Stage::Pending;
  TakeUpIfReady(out);
}

void BurnEngine::OnPrepared(Actions& out) {
  // The press prepared the token in the field, which should be the one shown;
  // the read that follows tells.
  m_prepared = m_pressToken ? std::optional<QByteArray>(m_pressToken->serialBytes) : std::nullopt;
  m_preparedConfirmed = false;
  m_stage = Stage::Pending;
  m_burnPending = true;
  out.push_back(ShowBurnPending{true});
  m_awaitingReturn = false;
  TakeUpIfReady(out);
}

void BurnEngine::OnStop(Actions& out) {
  if (!m_burnPending) return;
  if (m_stage != Stage::Pending && m_stage != Stage::Asking && m_stage != Stage::Notifying) return;
  if (m_lostWrite) {
    // The token may hold the secret, which no export file has: say so in the
    // log and to the operator rather than forget it.
    m_record = std::const_pointer_cast<BurnRecord>(m_lostWrite);
    Book(Result::Unknown, out);
    return;
  }
  EndBurn(out);
}

void BurnEngine::OnOneShot(OneShotKind kind, Actions& out) {
  if (m_stage != Stage::Idle && m_stage != Stage::Pending) return;
  if (kind == OneShotKind::Sync && !m_field) {
    out.push_back(ShowMessage{kCaptionError, QStringLiteral("No token or card detected!")});
    return;
  }
  m_oneShot = kind;
  m_afterOneShot = m_stage;
  if (m_field) {
    // The press is for the token shown, which may have been swapped since.
    m_pressToken = m_field;
    m_stage = Stage::OneShotRead;
    Run(CommandKind::ReadSerial, out);
    return;
  }
  m_stage = Stage::OneShotAuth;
  Run(CommandKind::Authenticate, out);
}

void BurnEngine::OnClosing(Actions& out) {
  // A burn is cancelled up to its seed write, whatever question is on screen.
  // Only a write whose answer was lost is left to book, so that the token
  // that may hold the secret is named.
  if (m_lostWrite && m_burnPending) {
    m_record = std::const_pointer_cast<BurnRecord>(m_lostWrite);
    Book(Result::Unknown, out);
  }
  if (m_burnPending) out.push_back(ShowBurnPending{false});
  m_stage = Stage::Closed;
  m_burnPending = false;
  m_questions.clear();
}

// Questions.

std::deque<QString> BurnEngine::QuestionsFor(const QByteArray& serialBytes, const BurnRecord& record) const {
  std::deque<QString> questions;
  // A secret with no bytes never reaches a token: the seed write refuses it,
  // and the failure is booked as such.
  if (record.secretBytes.empty()) return questions;
  const std::optional<QByteArray> digest = BurnedSecrets::Digest(record.secretBytes);
  if (digest && m_agreed && m_agreed->digest == *digest && m_agreed->serialBytes == serialBytes &&
      (m_agreed->exportLines || !record.exportLines))
    return questions;
  QString azureText = record.secretText;
  while (azureText.endsWith(u'=')) azureText.chop(1);
  if (record.exportLines && azureText.size() > kAzureSecretCharacters) questions.push_back(kLongSecretQuestion);
  if (record.exportLines && !m_leavingOutAccepted) {
    for (ExportFile file : m_exports.FilesLeavingOut(record)) {
      if (m_leavingOutAgreed.count(file) == 0) questions.push_back(LeftOutQuestion(file));
    }
  }
  if (!digest) {
    // libcrypto could not hash the secret (out of memory): this run's burns
    // cannot be compared with it, and the operator decides.
    questions.push_back(kNotComparableQuestion);
  } else if (const std::optional<QString> other = m_burnedSecrets.OtherToken(*digest, serialBytes)) {
    questions.push_back(SecretTwiceQuestion(*other));
  }
  return questions;
}

void BurnEngine::Agree(const QByteArray& serialBytes, const BurnRecord& record) {
  if (record.secretBytes.empty()) return;
  if (record.exportLines) {
    for (ExportFile file : m_exports.FilesLeavingOut(record)) m_leavingOutAgreed.insert(file);
  }
  if (const std::optional<QByteArray> digest = BurnedSecrets::Digest(record.secretBytes)) {
    m_agreed = Agreed{*digest, serialBytes, record.exportLines};
  }
}

void BurnEngine::AskNext(Actions& out) { out.push_back(AskQuestion{m_questions.front()}); }

void BurnEngine::OnAnswer(const Answer& answer, Actions& out) {
  // An answer to a question that a Stop has withdrawn changes nothing.
  if (m_stage != Stage::Asking || m_questions.empty()) return;
  m_questions.pop_front();
  if (!answer.yes) {
    m_questions.clear();
    if (m_asked == Asked::Press) {
      m_stage = Stage::Idle;
    } else {
      EndBurn(out);
    }
    return;
  }
  if (!m_questions.empty()) {
    AskNext(out);
    return;
  }
  if (m_asked == Asked::Press) {
    BurnRecord asked;
    asked.secretText = m_form.secretText;
    asked.secretBytes = DecodeSecret(m_form.secretText);
    asked.choices = m_pressChoices;
    asked.exportLines = m_form.exportLines;
    Agree(m_pressToken ? m_pressToken->serialBytes : QByteArray(), asked);
    StartPreparation(out);
    return;
  }
  // The token may have left or been swapped while the question was on
  // screen; what was agreed is for the token of the record, and the token in
  // the field is read again before it is taken up.
  Agree(m_record->serialBytes, *m_record);
  m_stage = Stage::Pending;
  TakeUpIfReady(out);
}

// Outcomes of the token commands.

void BurnEngine::OnCommandDone(const Outcome& outcome, Actions& out) {
  switch (m_stage) {
    case Stage::PrepareRead:
      if (!IsPressedToken(m_pressToken, outcome, out)) {
        m_stage = Stage::Idle;
        return;
      }
      m_pressToken = outcome.token;
      m_stage = Stage::PrepareAuth;
      Run(CommandKind::Authenticate, out);
      return;
    case Stage::PrepareAuth:
      if (outcome.code != 0) {
        // A press for the token shown: its message, and no burn. A lost answer
        // is said as such; Burn tries again.
        out.push_back(ShowMessage{kCaptionError, outcome.delivery == Delivery::AnswerLost
                                                     ? kAuthAnswerLost
                                                     : AuthenticationMessage(outcome.code)});
        m_stage = Stage::Idle;
        return;
      }
      m_stage = Stage::PrepareConfigure;
      Run(CommandKind::Configure, out);
      return;
    case Stage::PrepareConfigure:
      if (outcome.code != 0) {
        out.push_back(ShowMessage{kCaptionError, ConfigFailed(outcome.code)});
        m_stage = Stage::Idle;
        return;
      }
      OnPrepared(out);
      return;
    case Stage::TakeUpRead:
      OnTakeUpRead(outcome, out);
      return;
    case Stage::TakeUpAuth:
      if (outcome.code != 0) {
        OnBurnAuthFailed(outcome, out);
        return;
      }
      m_stage = Stage::TakeUpConfigure;
      Run(CommandKind::Configure, out);
      return;
    case Stage::TakeUpConfigure:
      if (outcome.code != 0) {
        out.push_back(ShowMessage{kCaptionError, ConfigFailed(outcome.code)});
        m_stage = Stage::Pending;
        if (outcome.delivery == Delivery::NotSent) {
          AwaitReturn(out);
        } else {
          // The token judged the command, or may have: it is not taken up
          // again by itself, so that a token that cannot be configured does
          // not loop through authentications.
          m_refused.insert(m_record->serialBytes);
        }
        return;
      }
      m_prepared = m_record->serialBytes;
      m_stage = Stage::BurnAuth;
      Run(CommandKind::Authenticate, out);
      return;
    case Stage::BurnAuth:
      if (outcome.code != 0) {
        OnBurnAuthFailed(outcome, out);
        return;
      }
      m_stage = Stage::ConfirmSerial;
      Run(CommandKind::ReadSerial, out);
      return;
    case Stage::RefusalRead:
      OnRefusalRead(outcome, out);
      return;
    case Stage::ConfirmSerial:
      OnConfirmRead(outcome, out);
      return;
    case Stage::SeedWrite:
      OnSeedWritten(outcome, out);
      return;
    case Stage::OneShotRead:
    case Stage::OneShotAuth:
    case Stage::OneShot:
      OnOneShotDone(outcome, out);
      return;
    case Stage::Idle:
    case Stage::Asking:
    case Stage::Notifying:
    case Stage::Pending:
    case Stage::Closed:
      return;  // no command is on its way
  }
}

void BurnEngine::OnTakeUpRead(const Outcome& outcome, Actions& out) {
  m_stage = Stage::Pending;
  if (outcome.code != 0 || !m_field || outcome.token.serialBytes != m_field->serialBytes) {
    // No token that answers, or another than the one shown: the card monitor
    // reads it anew, the window shows it, and it is taken up then. Right
    // after the preparation this also means that the token prepared is not
    // known: every token taken up is prepared first.
    if (!m_preparedConfirmed) m_prepared.reset();
    AwaitReturn(out);
    return;
  }
  const QByteArray& serial = outcome.token.serialBytes;
  m_preparedConfirmed = true;
  if (m_refused.count(serial) != 0) return;
  if (m_lostWrite) {
    // Only the token that may hold the secret finishes this burn.
    if (m_lostWrite->serialBytes != serial) return;
    m_record = std::const_pointer_cast<BurnRecord>(m_lostWrite);
    ContinueTakeUp(out);
    return;
  }
  auto record = std::make_shared<BurnRecord>();
  record->serialBytes = serial;
  record->serialNumber = m_field->serialNumber;
  record->choices = m_pressChoices;
  record->exportLines = m_form.exportLines;
  record->userName = record->exportLines ? m_form.userName : m_userName;
  record->time = m_now();
  record->secretText = m_form.secretText;
  record->secretBytes = DecodeSecret(m_form.secretText);
  m_record = record;
  if (record->secretText.isEmpty()) {
    out.push_back(ShowMessage{kCaptionError, QStringLiteral("No seed found!")});
    Book(Result::Failed, out);
    return;
  }
  // The token or the secret may have changed since Burn was pressed: what is
  // burned now must be what the operator agreed to.
  m_questions = QuestionsFor(serial, *record);
  if (!m_questions.empty()) {
    m_asked = Asked::TakeUp;
    m_stage = Stage::Asking;
    AskNext(out);
    return;
  }
  ContinueTakeUp(out);
}

void BurnEngine::ContinueTakeUp(Actions& out) {
  // "Export Seed Data" may have been ticked after the press: the lines of this
  // burn need the set.
  if (OpenExportsFirst(m_record->exportLines, Asked::TakeUp, out)) return;
  Authenticate(out);
}

void BurnEngine::Authenticate(Actions& out) {
  // A token other than the one prepared gets the preparation first, so that
  // what it holds is what is booked and exported.
  if (!m_prepared || *m_prepared != m_record->serialBytes) {
    m_stage = Stage::TakeUpAuth;
  } else {
    m_stage = Stage::BurnAuth;
  }
  Run(CommandKind::Authenticate, out);
}

void BurnEngine::OnBurnAuthFailed(const Outcome& outcome, Actions& out) {
  if (outcome.delivery == Delivery::NotSent) {
    // No cryptogram left the station, so no try was spent: the token may be
    // tried again, but only once it has been read anew (gone and back),
    // so that one pull gives one message.
    m_stage = Stage::Pending;
    out.push_back(ShowMessage{kCaptionError, AuthenticationMessage(outcome.code)});
    AwaitReturn(out);
    return;
  }
  // The token refused the key (or judged the exchange otherwise), or its
  // verdict was lost: a try may be gone, and no other is spent on that token
  // during this burn. It may have been swapped in since it was read, so the
  // token in the field is read (which costs no try) to hold the refusal
  // against the one that answered.
  m_refusal = outcome;
  m_stage = Stage::RefusalRead;
  Run(CommandKind::ReadSerial, out);
}

void BurnEngine::OnRefusalRead(const Outcome& outcome, Actions& out) {
  m_stage = Stage::Pending;
  // A read that fails leaves the record's token as the one that answered.
  const bool swapped = outcome.code == 0 && outcome.token.serialBytes != m_record->serialBytes;
  m_refused.insert(swapped ? outcome.token.serialBytes : m_record->serialBytes);
  out.push_back(ShowMessage{kCaptionError, m_refusal.delivery == Delivery::AnswerLost
                                               ? kAuthAnswerLost
                                               : AuthenticationMessage(m_refusal.code)});
  // The card monitor shows the token that refused; the record's token is
  // taken up when it is laid again.
  if (swapped) AwaitReturn(out);
}

void BurnEngine::OnConfirmRead(const Outcome& outcome, Actions& out) {
  if (outcome.code != 0 || outcome.token.serialBytes != m_record->serialBytes) {
    // Nothing is written into a token other than the record's, nor booked
    // under its serial number; the token in the field is read anew.
    m_stage = Stage::Pending;
    AwaitReturn(out);
    return;
  }
  m_stage = Stage::SeedWrite;
  Run(CommandKind::WriteSeed, out);
}

void BurnEngine::OnSeedWritten(const Outcome& outcome, Actions& out) {
  if (outcome.code == 0 && outcome.delivery == Delivery::Answered) {
    Book(Result::Succeeded, out);
    return;
  }
  if (outcome.delivery == Delivery::AnswerLost || (m_lostWrite && outcome.delivery == Delivery::NotSent)) {
    // The token may hold the secret. The burn stays with this token and this
    // record: the same secret is written again when the token is back, and
    // booked once.
    const bool first = !m_lostWrite;
    m_lostWrite = m_record;
    m_stage = Stage::Pending;
    if (first) out.push_back(ShowMessage{kCaptionError, SeedAnswerLost(m_record->serialNumber)});
    AwaitReturn(out);
    return;
  }
  out.push_back(ShowMessage{kCaptionError,
                            QStringLiteral("Failed to program the token! Error: ") + app::CodeText(outcome.code)});
  // A write refused after one whose answer was lost leaves the token holding
  // the secret or not: that is booked as unknown, not as a failure.
  Book(m_lostWrite ? Result::Unknown : Result::Failed, out);
}

void BurnEngine::OnOneShotDone(const Outcome& outcome, Actions& out) {
  if (m_stage == Stage::OneShotRead) {
    if (!IsPressedToken(m_pressToken, outcome, out)) {
      m_stage = m_afterOneShot;
      return;
    }
    m_stage = Stage::OneShotAuth;
    Run(CommandKind::Authenticate, out);
    return;
  }
  if (m_stage == Stage::OneShotAuth) {
    if (outcome.code != 0) {
      out.push_back(ShowMessage{kCaptionError, AuthenticationMessage(outcome.code)});
      m_stage = m_afterOneShot;
      return;
    }
    m_stage = Stage::OneShot;
    Run(m_oneShot == OneShotKind::Sync ? CommandKind::SyncClock : CommandKind::Seal, out);
    return;
  }
  m_stage = m_afterOneShot;
  if (m_oneShot == OneShotKind::Seal) {
    out.push_back(ShowMessage{kCaptionHints, outcome.code == 0 ? QStringLiteral("CardSeal success!")
                                                                : QStringLiteral("CardSeal failed![") +
                                                                      app::CodeText(outcome.code) + u']'});
  } else if (outcome.code == 0) {
    out.push_back(ShowMessage{kCaptionStation, QStringLiteral("Token clock successfuly synchronized!")});
  } else {
    out.push_back(ShowMessage{kCaptionError, ConfigFailed(outcome.code)});
  }
}

// Bookings.

void BurnEngine::EndBurn(Actions& out) {
  m_stage = Stage::Idle;
  m_burnPending = false;
  m_refused.clear();
  m_prepared.reset();
  m_record.reset();
  m_lostWrite.reset();
  m_agreed.reset();
  m_questions.clear();
  out.push_back(ShowBurnPending{false});
}

void BurnEngine::Book(Result result, Actions& out) {
  const std::shared_ptr<const BurnRecord> record = m_record;
  EndBurn(out);
  ++m_total;
  switch (result) {
    case Result::Succeeded: {
      std::optional<ExportFile> writeFailure;
      if (record->exportLines) {
        m_userName = record->userName;
        writeFailure = m_exports.WriteLines(*record);
      }
      out.push_back(AddLogRow{record->serialNumber, m_userName, QStringLiteral("Succeeded"), record});
      // The digest fails only when libcrypto runs out of memory; this burn is
      // then not recognised by a later one.
      if (const std::optional<QByteArray> digest = BurnedSecrets::Digest(record->secretBytes)) {
        m_burnedSecrets.Book(*digest, record->serialBytes, record->serialNumber);
      }
      out.push_back(ShowMessage{kCaptionStation, kProgrammed});
      if (writeFailure) {
        // The set is closed, so that the next Burn with the box ticked starts
        // a new one rather than adding to a file that has lost a line.
        m_exports.Close();
        m_leavingOutAgreed.clear();
        out.push_back(ShowMessage{QCoreApplication::applicationName(),
                                  QStringLiteral("Failed to write %1 seed file").arg(ExportFileLabel(*writeFailure)),
                                  MessageIcon::Error});
      }
      ++m_success;
      break;
    }
    case Result::Failed:
      out.push_back(AddLogRow{record->serialNumber, m_userName, QStringLiteral("Failed"), record});
      ++m_fail;
      break;
    case Result::Unknown:
      out.push_back(AddLogRow{record->serialNumber, m_userName, QStringLiteral("Unknown"), record});
      out.push_back(ShowMessage{kCaptionError, OutcomeUnknown(record->serialNumber)});
      ++m_fail;
      break;
  }
  out.push_back(ShowCounters{m_total, m_success, m_fail});
}

// The driver.

void BurnDriver::Dispatch(Event event) {
  m_queue.push_back(std::move(event));
  if (m_running) return;  // handled by the call that is running, in order
  m_running = true;
  while (!m_queue.empty()) {
    Event next = std::move(m_queue.front());
    m_queue.pop_front();
    for (const Action& action : m_engine.Handle(next)) {
      std::visit(
          [&](const auto& a) {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, RunCommand>) {
              m_queue.push_front(CommandDone{m_port.Run(a.command)});
            } else if constexpr (std::is_same_v<A, ShowMessage>) {
              m_view.Show(a);
              if (a.awaited) m_queue.push_back(MessageDismissed{});
            } else if constexpr (std::is_same_v<A, AskQuestion>) {
              const bool yes = m_view.Ask(a.text);
              m_queue.push_back(Answer{yes});
            } else if constexpr (std::is_same_v<A, AddLogRow>) {
              m_view.AddLogRow(a);
            } else if constexpr (std::is_same_v<A, ShowCounters>) {
              m_view.ShowCounters(a);
            } else if constexpr (std::is_same_v<A, ShowBurnPending>) {
              m_view.ShowBurnPending(a.pending);
            } else if constexpr (std::is_same_v<A, ReadTokenAgain>) {
              m_view.ReadTokenAgain();
            }
          },
          action);
    }
  }
  m_running = false;
}

}  // namespace station
