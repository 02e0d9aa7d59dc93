// The burn engine without a window, by named cases: what it sends to the
// tokens, what it shows and asks, and what it books, checked against what the
// emulated tokens hold and how many authentication tries they have left.
#include <gtest/gtest.h>

#include <functional>

#include "burned_secrets.h"
#include "engine_world.h"
#include "token_protocol.h"

namespace {

using enginetest::EngineWorld;
using enginetest::kRfcSecret;
using Stage = station::BurnEngine::Stage;

const QString kProgrammed = QStringLiteral("Token successfully programmed!");
const QString kAuthLost = QStringLiteral("Authentication process failed! The token's answer was lost");
const QString kSeedLost = QStringLiteral("The token's answer to the seed write was lost");

// The APDUs of a burn of the token shown, counted from the press.
constexpr int kPrepChallenge = 2;
constexpr int kTakeUpRead = 5;
constexpr int kBurnChallenge = 6;
constexpr int kBurnCryptogram = 7;
constexpr int kSeedWrite = 9;
// And of a pending burn that takes up a token other than the prepared one,
// counted from the card monitor's read on its arrival: the pending burn's
// serial read, challenge, cryptogram, parameters, challenge, cryptogram,
// serial read, seed write.
constexpr int kOtherPrepCryptogram = 4;

std::vector<uint8_t> RfcSeed() {
  const std::string text = "12345678901234567890";
  return {text.begin(), text.end()};
}

class BurnEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.form.secretText = kRfcSecret;
    world.form.exportLines = true;
    world.form.userName = QStringLiteral("ops@example.com");
    world.Connect(0);
  }

  // A burn pending with no token on the reader: the prepared token P leaves
  // as the pending burn reads it.
  void PendWithoutToken() {
    world.MakeToken("ZZP");
    world.Lay("ZZP");
    world.Poll();
    world.PullAt(kTakeUpRead);
    world.PressBurn();
    world.Poll();
    ASSERT_TRUE(world.Pending());
    ASSERT_EQ(world.InField(0), nullptr);
    world.messages.clear();
  }

  // Lays the token, lets the card monitor see it, and takes it off again.
  void LayAndTakeOff(const std::string& serial) {
    world.Lay(serial);
    world.Poll();
    world.Remove();
    world.Poll();
  }

  int Results(const QString& result) const {
    int n = 0;
    for (const enginetest::Booking& b : world.bookings) n += b.result == result ? 1 : 0;
    return n;
  }

  EngineWorld world;
};

TEST_F(BurnEngineTest, BurnOfTheTokenShownIsBookedFromWhatItHolds) {
  world.MakeToken("ZZ1");
  world.Lay("ZZ1");
  world.Poll();
  world.form.choices.timeWindow = 60;
  world.PressBurn();
  EXPECT_EQ(world.Token("ZZ1").Seed(), RfcSeed());
  EXPECT_EQ(world.Token("ZZ1").TimeStep(), 60);
  ASSERT_EQ(world.bookings.size(), 1u);
  EXPECT_EQ(world.bookings[0].result, QStringLiteral("Succeeded"));
  EXPECT_EQ(world.bookings[0].record->choices.timeWindow, 60);
  ASSERT_EQ(world.exports.lines.size(), 1u);
  EXPECT_EQ(world.exports.lines[0].serialBytes, QByteArray("ZZ1"));
  EXPECT_EQ(world.Count(kProgrammed), 1);
  EXPECT_FALSE(world.Pending());
  // Preparation (4 APDUs) and take-up (5): nothing more, nothing twice.
  EXPECT_EQ(world.Pcsc().SentApdus(enginetest::kReaders[0]).size(), 1u + 9u);
}

// Two tokens with another customer key, laid in turn while one burn pends:
// each refuses once and is never authenticated again by itself.
TEST_F(BurnEngineTest, RefusingTokensAreRememberedEachUnderItsOwnSerial) {
  PendWithoutToken();
  world.MakeToken("ZZW1", false, 3);
  world.MakeToken("ZZW2", false, 3);
  for (int round = 0; round < 5; ++round) {
    LayAndTakeOff("ZZW1");
    LayAndTakeOff("ZZW2");
  }
  EXPECT_EQ(world.Token("ZZW1").TriesLeft(), 2);
  EXPECT_EQ(world.Token("ZZW2").TriesLeft(), 2);
  EXPECT_EQ(world.Count(QStringLiteral("Authentication failed, remaining 2 times")), 2);
  EXPECT_TRUE(world.Pending());
  EXPECT_TRUE(world.bookings.empty());

  // A press of Stop and Burn lets the operator try one of them once more.
  world.PressBurn();  // Stop
  EXPECT_FALSE(world.Pending());
  world.Lay("ZZW1");
  world.Poll();
  world.PressBurn();
  EXPECT_EQ(world.Token("ZZW1").TriesLeft(), 1);
  EXPECT_FALSE(world.Pending());
}

// The token in the field is not the one the panel shows when the pending
// burn reads it: the refusal goes to the token that refused.
TEST_F(BurnEngineTest, SwappedTokenIsReadBeforeItsAuthentication) {
  world.MakeToken("ZZA");
  world.MakeToken("ZZW", false, 4);
  world.Lay("ZZA");
  world.Poll();
  // The wrong-key token takes A's place as A's preparation ends, before the
  // card monitor's next pass.
  world.Token("ZZA").SetChangeListener([&](const std::string& what) {
    if (what.rfind("settings:", 0) == 0) world.Lay("ZZW");
  });
  world.PressBurn();
  world.Token("ZZA").SetChangeListener({});
  EXPECT_TRUE(world.Pending());
  EXPECT_EQ(world.Token("ZZW").TriesLeft(), 4);  // not authenticated unseen
  world.Poll();                                  // the card monitor reads it anew
  EXPECT_EQ(world.Token("ZZW").TriesLeft(), 3);
  LayAndTakeOff("ZZW");
  EXPECT_EQ(world.Token("ZZW").TriesLeft(), 3);
  // A is not refused: laid again, the pending burn programs it.
  world.Lay("ZZA");
  world.Poll();
  EXPECT_EQ(world.Token("ZZA").Seed(), RfcSeed());
  ASSERT_EQ(world.bookings.size(), 1u);
  EXPECT_EQ(world.bookings[0].serialNumber, QStringLiteral("ZZA"));
}

struct LostAnswerCase {
  const char* name;
  bool rightKey;
  int apdu;  // the cryptogram, counted from the pending burn's take-up or the press
  bool cardLeaves;
};

class AuthAnswerLostTest : public BurnEngineTest, public ::testing::WithParamInterface<LostAnswerCase> {};

// The cryptogram reached the token, its verdict did not come back: the token
// may have counted a try, so it is not tried again until the operator presses.
TEST_P(AuthAnswerLostTest, TokenIsRefusedForThePress) {
  const LostAnswerCase& c = GetParam();
  PendWithoutToken();
  world.MakeToken("ZZT", c.rightKey, 5);
  world.Lay("ZZT");
  world.LoseAnswerAt(c.apdu, c.cardLeaves);
  world.Poll();
  const int triesAfterFirst = world.Token("ZZT").TriesLeft();
  EXPECT_EQ(triesAfterFirst, c.rightKey ? 5 : 4);
  for (int round = 0; round < 5; ++round) {
    world.Remove();
    world.Poll();
    world.Lay("ZZT");
    world.LoseAnswerAt(c.apdu, c.cardLeaves);
    world.Poll();
    world.Poll();
  }
  EXPECT_EQ(world.Token("ZZT").TriesLeft(), triesAfterFirst);
  EXPECT_EQ(world.Count(kAuthLost), 1);
  EXPECT_EQ(world.messages.size(), 1u);
  EXPECT_TRUE(world.Pending());
  EXPECT_TRUE(world.Token("ZZT").Seed().empty());
  EXPECT_TRUE(world.bookings.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, AuthAnswerLostTest,
                         ::testing::Values(LostAnswerCase{"WrongKeyDataLost", false, kOtherPrepCryptogram, false},
                                           LostAnswerCase{"WrongKeyCardLeaves", false, kOtherPrepCryptogram, true},
                                           LostAnswerCase{"RightKeyDataLost", true, kOtherPrepCryptogram, false},
                                           LostAnswerCase{"RightKeyCardLeaves", true, kOtherPrepCryptogram, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The pending burn takes up a token that was never prepared: it is prepared
// with the choices of the press before its seed goes in.
TEST_F(BurnEngineTest, UnpreparedTokenIsPreparedWithTheChoicesOfThePress) {
  world.form.choices = {60, 120, QByteArrayLiteral("SHA256")};
  PendWithoutToken();
  // Changed after the press: the pending burn keeps what Burn was pressed with.
  world.form.choices = {30, 15, QByteArrayLiteral("SHA1")};
  auto fresh = world.MakeToken("ZZN");
  ASSERT_EQ(fresh->TimeStep(), 30);
  world.Lay("ZZN");
  world.Poll();
  EXPECT_EQ(fresh->Seed(), RfcSeed());
  EXPECT_EQ(fresh->TimeStep(), 60);
  EXPECT_EQ(fresh->DisplayTime(), 120);
  EXPECT_EQ(fresh->Algorithm(), 2);
  EXPECT_EQ(fresh->Clock(), 1709622489u);  // the computer's clock: 2024-03-05 07:08:09
  ASSERT_EQ(world.bookings.size(), 1u);
  EXPECT_EQ(world.bookings[0].record->choices.timeWindow, 60);
}

TEST_F(BurnEngineTest, BurnStaysStoppableWithNoTokenOnTheReader) {
  PendWithoutToken();
  EXPECT_TRUE(world.BurnEnabled());
  world.PressBurn();  // Stop
  EXPECT_FALSE(world.Pending());
  world.MakeToken("ZZN");
  world.Lay("ZZN");
  world.Poll();
  EXPECT_TRUE(world.Token("ZZN").Seed().empty());
  EXPECT_TRUE(world.bookings.empty());
}

enum class Interrupt { Stop, Close };

// A Stop or a close that comes while the pending burn's question is on
// screen wins over the answer given afterwards: nothing is sent.
class QuestionInterruptedTest : public BurnEngineTest, public ::testing::WithParamInterface<Interrupt> {};

TEST_P(QuestionInterruptedTest, NothingIsWrittenAfterIt) {
  // The secret is in one token already, so that another one asks.
  world.MakeToken("ZZ1");
  world.Lay("ZZ1");
  world.Poll();
  world.PressBurn();
  ASSERT_EQ(world.bookings.size(), 1u);
  world.Remove();
  world.Poll();
  PendWithoutToken();  // agreed to for P
  ASSERT_EQ(world.questions.size(), 1u);
  auto q = world.MakeToken("ZZQ");
  world.Pcsc().ClearSentApdus(enginetest::kReaders[0]);
  world.answerYes = true;
  world.onQuestion = [&] {
    world.Dispatch(GetParam() == Interrupt::Stop ? station::Event(station::StopPressed{})
                                                 : station::Event(station::Closing{}));
  };
  world.Lay("ZZQ");
  world.Poll();  // the question is asked here, and answered Yes after the interruption
  EXPECT_EQ(world.questions.size(), 2u);
  EXPECT_TRUE(q->Seed().empty());
  EXPECT_EQ(q->TimeStep(), 30);
  EXPECT_EQ(world.AuthenticationsSentTo(0), 0);
  EXPECT_EQ(world.bookings.size(), 1u);
  EXPECT_FALSE(world.Engine().BurnPending());
  EXPECT_EQ(world.Engine().CurrentStage(), GetParam() == Interrupt::Stop ? Stage::Idle : Stage::Closed);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuestionInterruptedTest, ::testing::Values(Interrupt::Stop, Interrupt::Close),
                         [](const auto& info) { return info.param == Interrupt::Stop ? "Stop" : "Close"; });

// Burn's own question: a close while it is on screen, answered Yes
// afterwards, prepares nothing.
TEST_F(BurnEngineTest, CloseDuringBurnsQuestionSendsNothing) {
  world.MakeToken("ZZ1");
  world.MakeToken("ZZ2");
  world.Lay("ZZ1");
  world.Poll();
  world.PressBurn();
  world.Lay("ZZ2");
  world.Poll();
  world.Pcsc().ClearSentApdus(enginetest::kReaders[0]);
  world.onQuestion = [&] { world.Close(); };
  world.PressBurn();
  ASSERT_EQ(world.questions.size(), 1u);
  EXPECT_TRUE(world.Pcsc().SentApdus(enginetest::kReaders[0]).empty());
  EXPECT_EQ(world.exports.opened, 1);
  EXPECT_EQ(world.Engine().CurrentStage(), Stage::Closed);
}

enum class AfterLostWrite { CardStays, BackAfterAnotherToken, Stop, Close };

class SeedWriteAnswerLostTest : public BurnEngineTest, public ::testing::WithParamInterface<AfterLostWrite> {};

// The seed write reached the token but its answer was lost: the token may
// hold the secret. The burn stays with that token and that record until it is
// booked once: written again when the token is back, or "Unknown" on Stop.
TEST_P(SeedWriteAnswerLostTest, BookedOnceOrNamedUnknown) {
  const AfterLostWrite after = GetParam();
  auto t = world.MakeToken("ZZL");
  auto other = world.MakeToken("ZZO");
  world.Lay("ZZL");
  world.Poll();
  world.LoseAnswerAt(kSeedWrite, after != AfterLostWrite::CardStays);
  world.PressBurn();
  EXPECT_EQ(t->Seed(), RfcSeed());  // it took the seed; the station cannot know
  EXPECT_TRUE(world.bookings.empty());
  EXPECT_TRUE(world.exports.lines.empty());
  EXPECT_EQ(world.Count(kSeedLost), 1);
  EXPECT_TRUE(world.Pending());
  EXPECT_EQ(world.Engine().LostWriteSerial(), std::optional<QByteArray>("ZZL"));

  switch (after) {
    case AfterLostWrite::CardStays:
      world.Poll();  // read anew, written again
      break;
    case AfterLostWrite::BackAfterAnotherToken:
      world.Poll();
      world.Lay("ZZO");
      world.Poll();
      EXPECT_TRUE(other->Seed().empty());  // not this burn's token
      world.Remove();
      world.Poll();
      world.Lay("ZZL");
      world.Poll();
      break;
    case AfterLostWrite::Stop:
      world.PressBurn();
      break;
    case AfterLostWrite::Close:
      world.Close();
      break;
  }
  ASSERT_EQ(world.bookings.size(), 1u);
  EXPECT_FALSE(world.Engine().BurnPending());
  if (after == AfterLostWrite::CardStays || after == AfterLostWrite::BackAfterAnotherToken) {
    EXPECT_EQ(world.bookings[0].result, QStringLiteral("Succeeded"));
    EXPECT_EQ(world.Count(kProgrammed), 1);
    ASSERT_EQ(world.exports.lines.size(), 1u);
    EXPECT_EQ(world.exports.lines[0].serialBytes, QByteArray("ZZL"));
    EXPECT_EQ(world.Engine().SuccessCount(), 1);
  } else {
    EXPECT_EQ(world.bookings[0].result, QStringLiteral("Unknown"));
    EXPECT_EQ(world.bookings[0].serialNumber, QStringLiteral("ZZL"));
    EXPECT_EQ(world.Count(QStringLiteral("The burn was stopped while its outcome was unknown: token ZZL may hold")), 1);
    EXPECT_TRUE(world.exports.lines.empty());
    EXPECT_EQ(world.Engine().FailCount(), 1);
  }
  EXPECT_EQ(world.Engine().TotalCount(), 1);
}

std::string AfterLostWriteName(const ::testing::TestParamInfo<AfterLostWrite>& info) {
  const char* names[] = {"CardStays", "BackAfterAnotherToken", "Stop", "Close"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Cases, SeedWriteAnswerLostTest,
                         ::testing::Values(AfterLostWrite::CardStays, AfterLostWrite::BackAfterAnotherToken,
                                           AfterLostWrite::Stop, AfterLostWrite::Close),
                         AfterLostWriteName);

// The card leaves the field during the burn's own authentication, before or
// as its challenge goes: one pull, one message; tried again once it is back.
TEST_F(BurnEngineTest, CardPulledInTheBurnsChallengeGivesOneMessage) {
  auto t = world.MakeToken("ZZC");
  world.Lay("ZZC");
  world.Poll();
  world.PullAt(kBurnChallenge);
  world.PressBurn();
  for (int pass = 0; pass < 5; ++pass) world.Poll();
  EXPECT_EQ(world.messages.size(), 1u);
  EXPECT_TRUE(world.Pending());
  world.Lay("ZZC");
  world.Poll();
  EXPECT_EQ(t->Seed(), RfcSeed());
  EXPECT_EQ(world.messages.size(), 2u);
  EXPECT_EQ(world.messages.back().text, kProgrammed);
  EXPECT_EQ(t->TriesLeft(), 5);
}

// A challenge whose answer is lost with the card staying: the cryptogram is
// not sent, and the token is tried again once the card monitor has read it.
TEST_F(BurnEngineTest, LostChallengeIsRetriedAfterTheTokenIsReadAgain) {
  auto t = world.MakeToken("ZZC");
  world.Lay("ZZC");
  world.Poll();
  world.LoseAnswerAt(kBurnChallenge, false);
  world.PressBurn();
  EXPECT_EQ(world.messages.size(), 1u);
  EXPECT_EQ(world.AuthenticationsSentTo(0), 1);  // the preparation's only
  world.Poll();
  EXPECT_EQ(t->Seed(), RfcSeed());
  EXPECT_EQ(world.Count(kProgrammed), 1);
  EXPECT_EQ(t->TriesLeft(), 5);
}

TEST_F(BurnEngineTest, PreparationFailuresLeaveNoBurnPending) {
  struct Case {
    const char* name;
    std::function<void(sim::TokenEmulator&)> fault;
    int loseAt;
    QString message;
  };
  const Case cases[] = {
      {"wrong key", [](sim::TokenEmulator&) {}, 0, QStringLiteral("Authentication failed, remaining 4 times")},
      {"configuration refused",
       [](sim::TokenEmulator& t) { t.FailInstruction(tokenlink::INS_PARAMETER, sim::SW_WRONG_DATA); }, 0,
       QStringLiteral("config failed![00000001]")},
      {"answer to the cryptogram lost", [](sim::TokenEmulator&) {}, 1 + kPrepChallenge, kAuthLost},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string serial = "ZZF" + std::to_string(n++);
    auto t = world.MakeToken(serial, std::string(c.name) != "wrong key");
    c.fault(*t);
    world.Lay(serial);
    world.Poll();
    world.messages.clear();
    if (c.loseAt) world.LoseAnswerAt(c.loseAt, false);
    world.PressBurn();
    ASSERT_EQ(world.messages.size(), 1u) << c.name;
    EXPECT_TRUE(world.messages[0].text.startsWith(c.message)) << c.name << ": " << world.messages[0].text.toStdString();
    EXPECT_FALSE(world.Pending()) << c.name;
    EXPECT_TRUE(t->Seed().empty()) << c.name;
    world.Remove();
    world.Poll();
  }
  EXPECT_TRUE(world.bookings.empty());
}

// The cloud directory's limit is on the text its line carries: Base32
// without "=", at most 128 characters.
TEST_F(BurnEngineTest, LongSecretQuestionMeasuresTheAzureText) {
  struct Case {
    QString text;  // as the window holds it
    bool asks;
  };
  const auto bytes = [](int n) { return enginetest::Base32Text(QByteArray(n, '\x5A'), true); };
  const Case cases[] = {
      {bytes(79), false},  // 127 characters and "="
      {bytes(80), false},  // 128 characters
      {bytes(81), true},   // 130 characters and "======"
      {bytes(100), true},
      // 129 characters whose last one carries no bits: 80 bytes, but the
      // line would carry 129 characters, which the import refuses.
      {QString(129, u'A'), true},
  };
  int n = 0;
  for (const Case& c : cases) {
    world.form.secretText = c.text;
    const std::string serial = "ZZS" + std::to_string(n++);
    world.MakeToken(serial);
    world.Lay(serial);
    world.Poll();
    world.questions.clear();
    world.answerYes = false;
    world.PressBurn();
    EXPECT_EQ(world.questions.size(), c.asks ? 1u : 0u) << c.text.size() << " characters";
    if (world.Pending()) world.PressBurn();
    world.Remove();
    world.Poll();
  }
}

// The cloud directory takes SHA-1 tokens only. A SHA-256 series that exports
// is asked about once an export set: a No burns nothing and the next press
// asks again; a Yes holds for the set; a new set, after a lost line, asks
// anew. Nothing is asked without exports or for a SHA-1 token.
TEST_F(BurnEngineTest, AzureQuestionIsAskedOnceAnExportSet) {
  const QString asked = QStringLiteral(
      "The cloud directory takes SHA-1 tokens only: this SHA-256 token gets no line in the Azure file. Burn anyway?");
  struct Step {
    const char* what;
    const char* algorithm;
    bool exportLines;
    bool yes;
    int failAtWrite;  // the set's next write fails
    std::vector<QString> questions;
    bool burned;
    int setsOpened;  // so far
  };
  const Step steps[] = {
      {"first SHA-256 burn, answered No", "SHA256", true, false, 0, {asked}, false, 0},
      {"the next press asks again, Yes", "SHA256", true, true, 0, {asked}, true, 1},
      {"the series goes on unasked", "SHA256", true, true, 0, {}, true, 1},
      {"a SHA-1 token", "SHA1", true, true, 0, {}, true, 1},
      {"no exports", "SHA256", false, true, 0, {}, true, 1},
      {"its line is lost: the set is closed", "SHA256", true, true, 1, {}, true, 1},
      {"the new set asks anew", "SHA256", true, true, 0, {asked}, true, 2},
      {"and holds the answer", "SHA256", true, true, 0, {}, true, 2},
  };
  int n = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    // A secret of its own for each token, so that no other question comes.
    world.form.secretText = enginetest::Base32Text(QByteArray(20, static_cast<char>('A' + n)), true);
    world.form.choices.algorithm = step.algorithm;
    world.form.exportLines = step.exportLines;
    world.exports.FailAtWrite(step.failAtWrite);
    const std::string serial = "ZZH" + std::to_string(n++);
    world.MakeToken(serial);
    world.Lay(serial);
    world.Poll();
    world.questions.clear();
    world.answerYes = step.yes;
    const std::size_t booked = world.bookings.size();
    world.PressBurn();
    EXPECT_EQ(world.questions, step.questions);
    EXPECT_EQ(world.bookings.size(), booked + (step.burned ? 1 : 0));
    EXPECT_EQ(world.Token(serial).Seed().empty(), !step.burned);
    EXPECT_EQ(world.exports.opened, step.setsOpened);
    EXPECT_FALSE(world.Pending());
    world.Remove();
    world.Poll();
  }
}

// A token burned anew with another secret no longer holds the first one.
TEST(BurnedSecretsTest, TokenBurnedAgainLeavesTheListOfItsFormerSecret) {
  station::BurnedSecrets burned;
  const QByteArray first = *station::BurnedSecrets::Digest({1, 2, 3});
  const QByteArray second = *station::BurnedSecrets::Digest({4, 5, 6});
  burned.Book(first, "A", QStringLiteral("A"));
  burned.Book(first, "B", QStringLiteral("B"));
  EXPECT_EQ(burned.OtherToken(first, "C"), std::optional<QString>(QStringLiteral("B")));
  burned.Book(second, "B", QStringLiteral("B"));
  EXPECT_EQ(burned.OtherToken(first, "C"), std::optional<QString>(QStringLiteral("A")));
  burned.Book(second, "A", QStringLiteral("A"));
  EXPECT_EQ(burned.OtherToken(first, "C"), std::nullopt);
  EXPECT_EQ(burned.OtherToken(second, "C"), std::optional<QString>(QStringLiteral("A")));
  EXPECT_EQ(burned.OtherToken(second, "A"), std::nullopt);
}


// A token swapped in between two commands, before the card monitor looks:
// what the press spends, it spends on the token it was meant for, and a
// refusal is held against the token that answered it.
const QString kNotPressed = QStringLiteral("Token ZZB lies on the reader in place of token ZZA");

TEST_F(BurnEngineTest, TokenSwappedInRightAfterTheTakeUpReadLosesOneTryOnly) {
  world.MakeToken("ZZA");
  world.MakeToken("ZZB", false, 5);
  world.Lay("ZZA");
  world.Poll();
  world.SwapAfter(kTakeUpRead, "ZZB");  // right after the pending burn read ZZA
  world.PressBurn();
  EXPECT_EQ(world.Token("ZZB").TriesLeft(), 4);  // the race no read can close
  EXPECT_EQ(world.Count(QStringLiteral("Authentication failed, remaining 4 times")), 1);
  for (int i = 0; i < 3; ++i) world.Poll();  // the monitor now shows ZZB, read again as asked
  EXPECT_EQ(world.Shown(), QByteArray("ZZB"));
  EXPECT_EQ(world.Token("ZZB").TriesLeft(), 4);
  EXPECT_TRUE(world.bookings.empty());
  // ZZA did not refuse: laid again, the pending burn finishes it.
  world.Lay("ZZA");
  world.Poll();
  ASSERT_EQ(world.bookings.size(), 1u);
  EXPECT_EQ(world.bookings[0].serialNumber, QStringLiteral("ZZA"));
  EXPECT_EQ(world.bookings[0].result, QStringLiteral("Succeeded"));
  EXPECT_EQ(world.Token("ZZA").Seed(), RfcSeed());
}

enum class PressKind { Burn, Sync };

class PressForAnotherToken : public BurnEngineTest, public ::testing::WithParamInterface<PressKind> {};

TEST_P(PressForAnotherToken, SpendsNothingAndShowsTheTokenInTheField) {
  world.MakeToken("ZZA");
  world.MakeToken("ZZB", false, 5);
  world.Lay("ZZA");
  world.Poll();
  world.Lay("ZZB");  // the card monitor has not looked since
  world.Pcsc().ClearSentApdus(enginetest::kReaders[0]);
  if (GetParam() == PressKind::Burn) {
    world.PressBurn();
  } else {
    world.PressSync();
  }
  EXPECT_EQ(world.Token("ZZB").TriesLeft(), 5);
  EXPECT_EQ(world.AuthenticationsSentTo(0), 0);
  EXPECT_EQ(world.Count(kNotPressed), 1);
  EXPECT_FALSE(world.Pending());
  world.Poll();
  EXPECT_EQ(world.Shown(), QByteArray("ZZB"));
  EXPECT_EQ(world.Token("ZZB").TriesLeft(), 5);
}

INSTANTIATE_TEST_SUITE_P(Presses, PressForAnotherToken, ::testing::Values(PressKind::Burn, PressKind::Sync));

// The operator's Yes agrees to burn the token the press was made for.
TEST_F(BurnEngineTest, AnswerGivenAfterTheTokenWasSwappedSpendsNothing) {
  for (const bool monitorSawIt : {false, true}) {
    SCOPED_TRACE(monitorSawIt ? "the card monitor saw the swap" : "the card monitor did not look");
    EngineWorld w;
    w.form.secretText = kRfcSecret;
    w.Connect(0);
    w.MakeToken("ZZ1");
    w.MakeToken("ZZA");
    w.MakeToken("ZZB", false, 5);
    w.Lay("ZZ1");
    w.Poll();
    w.PressBurn();
    ASSERT_EQ(w.bookings.size(), 1u);
    w.Lay("ZZA");
    w.Poll();
    w.onQuestion = [&] {
      w.Lay("ZZB");
      if (monitorSawIt) w.Poll();
    };
    w.PressBurn();  // "This secret was already programmed into token ZZ1 ..."
    ASSERT_EQ(w.questions.size(), 1u);
    EXPECT_EQ(w.Token("ZZB").TriesLeft(), 5);
    EXPECT_EQ(w.Count(kNotPressed), 1);
    EXPECT_TRUE(w.Token("ZZA").Seed().empty());
    EXPECT_FALSE(w.Pending());
    EXPECT_EQ(w.bookings.size(), 1u);
  }
}

}  // namespace
