// Every token command against a scripted reader: the exact bytes sent, the
// result for each answer, the order of the argument checks, and a closed
// session afterwards (checked by the fixture after every test).
//
// Expected MACs, cryptograms and ciphertexts were made with the OpenSSL 3.0
// command line (make_vectors.sh beside this file), digests with sha1sum and
// sha256sum; none comes from the code under test.
#include <gtest/gtest.h>

#include <functional>

#include "card_session.h"
#include "result_codes.h"
#include "scripted_pcsc.h"
#include "sm4.h"
#include "token_commands.h"

namespace tokenlink_test {
namespace {

using namespace tokenlink;

// ---------------------------------------------------------------- ReadTokenInfo

using ReadTokenInfoTest = ScriptedPcscTest;

TEST_F(ReadTokenInfoTest, TakesSerialAndClockFromTheirPlaces) {
  // Four leading bytes, serial "TK123456", two bytes, clock, 90 00.
  Script({Answer("A1 A2 A3 A4 54 4B 31 32 33 34 35 36 B1 B2 65 E0 71 C0 90 00")});
  TokenInfo info;
  ASSERT_EQ(ReadTokenInfo(kReader, 32, 64, &info), TL_OK);
  EXPECT_EQ(info.serialNumber, "TK123456");
  EXPECT_EQ(info.clockText, "2024-02-29 12:00:00");
  EXPECT_EQ(pcsc.SentApdus(), std::vector<Bytes>{Hex("80 41 00 00 02 02 11")});
  EXPECT_EQ(pcsc.reader, kReader);
}

struct InfoClockCase {
  const char* clockBytes;
  const char* text;
};

class ReadTokenInfoClockTest : public ScriptedPcscTest, public ::testing::WithParamInterface<InfoClockCase> {};

TEST_P(ReadTokenInfoClockTest, ClockIsUnsignedUtc) {
  Script({Answer(std::string("00 00 00 00 53 4E 00 00 ") + GetParam().clockBytes + " 90 00")});
  TokenInfo info;
  ASSERT_EQ(ReadTokenInfo(kReader, 32, 64, &info), TL_OK);
  EXPECT_EQ(info.clockText, GetParam().text);
  EXPECT_EQ(info.serialNumber, "SN");
}

INSTANTIATE_TEST_SUITE_P(Clocks, ReadTokenInfoClockTest,
                         ::testing::Values(InfoClockCase{"00 00 00 00", "1970-01-01 00:00:00"},
                                           InfoClockCase{"80 00 00 00", "2038-01-19 03:14:08"},
                                           InfoClockCase{"F4 86 56 FF", "2099-12-31 23:59:59"}),
                         [](const auto& info) { return "Year" + std::string(info.param.text, 4); });

TEST_F(ReadTokenInfoTest, ZeroByteEndsTheSerialNumber) {
  Script({Answer("00 00 00 00 41 42 00 43 44 00 00 00 00 00 00 90 00")});
  TokenInfo info;
  ASSERT_EQ(ReadTokenInfo(kReader, 32, 64, &info), TL_OK);
  EXPECT_EQ(info.serialNumber, "AB");
}

TEST_F(ReadTokenInfoTest, SerialOfExactlyTheCapacityIsAccepted) {
  const Bytes response = Concat({Bytes(4, 0), Bytes(32, 'S'), Hex("00 00 65 E0 71 C0 90 00")});
  pcsc.replies.push_back({kScardSuccess, response});
  TokenInfo info;
  ASSERT_EQ(ReadTokenInfo(kReader, 32, 19, &info), TL_OK);
  EXPECT_EQ(info.serialNumber, std::string(32, 'S'));
}

struct TooLongCase {
  const char* name;
  std::size_t serialCapacity;
  std::size_t clockCapacity;
};

class ReadTokenInfoTooLongTest : public ScriptedPcscTest, public ::testing::WithParamInterface<TooLongCase> {};

TEST_P(ReadTokenInfoTooLongTest, HandsOverNothing) {
  pcsc.replies.push_back({kScardSuccess, Concat({Bytes(4, 0), Bytes(33, 'S'), Hex("00 00 65 E0 71 C0 90 00")})});
  TokenInfo info{"before", "before"};
  EXPECT_EQ(ReadTokenInfo(kReader, GetParam().serialCapacity, GetParam().clockCapacity, &info), TL_E_BUFFER_SMALL);
  EXPECT_EQ(info.serialNumber, "before");
  EXPECT_EQ(info.clockText, "before");
}

INSTANTIATE_TEST_SUITE_P(Capacities, ReadTokenInfoTooLongTest,
                         ::testing::Values(TooLongCase{"SerialOneOver", 32, 64}, TooLongCase{"ClockOneShort", 33, 18}),
                         [](const auto& info) { return std::string(info.param.name); });

struct InfoFailureCase {
  const char* name;
  Reply reply;
  int32_t result;
};

class ReadTokenInfoFailureTest : public ScriptedPcscTest, public ::testing::WithParamInterface<InfoFailureCase> {};

TEST_P(ReadTokenInfoFailureTest, ReportsTheCode) {
  pcsc.replies.push_back(GetParam().reply);
  TokenInfo info{"before", "before"};
  EXPECT_EQ(ReadTokenInfo(kReader, 32, 64, &info), GetParam().result);
  EXPECT_EQ(info.serialNumber, "before");
  EXPECT_EQ(pcsc.transmitted.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReadTokenInfoFailureTest,
    ::testing::Values(
        InfoFailureCase{"CardPulled", Failure(kScardWRemovedCard), kScardWRemovedCard},
        InfoFailureCase{"NoSmartcard", Failure(kScardENoSmartcard), kScardENoSmartcard},
        InfoFailureCase{"WrongStatus", Answer("00 00 00 00 53 4E 00 00 65 E0 71 C0 6A 82"), TL_E_CARD_STATUS},
        InfoFailureCase{"MoreData", Answer("00 00 00 00 53 4E 00 00 65 E0 71 C0 61 10"), TL_E_CARD_STATUS},
        // No status word at all.
        InfoFailureCase{"NoBytes", Answer(""), TL_E_CARD_STATUS},
        InfoFailureCase{"OneByte", Answer("90"), TL_E_CARD_STATUS},
        // Success, but no room for the clock: 11 bytes.
        InfoFailureCase{"TooShort", Answer("00 00 00 00 00 65 E0 71 C0 90 00"), TL_E_CARD_STATUS},
        InfoFailureCase{"OnlyStatus", Answer("90 00"), TL_E_CARD_STATUS}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadTokenInfoTest, TwelveBytesGiveAnEmptySerialNumber) {
  Script({Answer("00 00 00 00 00 00 65 E0 71 C0 90 00")});
  TokenInfo info;
  ASSERT_EQ(ReadTokenInfo(kReader, 32, 64, &info), TL_OK);
  EXPECT_EQ(info.serialNumber, "");
  EXPECT_EQ(info.clockText, "2024-02-29 12:00:00");
}

// ------------------------------------------------- every command, shared cases

struct Command {
  const char* name;
  std::function<int32_t()> run;
  int32_t onTransmitFailure;  // what a pulled card gives
};

const Bytes kSeed20 = Sequence(20);

const Command kCommands[] = {
    {"ReadTokenInfo",
     [] {
       TokenInfo info;
       return ReadTokenInfo(kReader, 32, 64, &info);
     },
     kScardWRemovedCard},
    {"SyncTokenClock", [] { return SyncTokenClock(kReader, kKey, "2024/02/29/12/00/00", 0); }, TL_E_CARD_STATUS},
    {"AuthenticateCustomerKey", [] { return AuthenticateCustomerKey(kReader, kKey); }, TL_E_AUTH_EXCHANGE},
    {"WriteSeed", [] { return WriteSeed(kReader, kKey, kSeed20.data(), 20, 1); }, kScardWRemovedCard},
    {"SealToken", [] { return SealToken(kReader, kKey); }, TL_E_CARD_STATUS},
    {"ConfigureToken", [] { return ConfigureToken(kReader, kKey, "SHA1", 30, 30, "2024/02/29/12/00/00", 0); },
     TL_E_CARD_STATUS},
};

class EveryCommandTest : public ScriptedPcscTest, public ::testing::WithParamInterface<Command> {};

TEST_P(EveryCommandTest, NoDeviceWhenTheServiceIsDown) {
  pcsc.establishResult = kScardENoService;
  EXPECT_EQ(GetParam().run(), TL_E_NO_DEVICE);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

TEST_P(EveryCommandTest, NoDeviceWhenNoCardIsInTheField) {
  pcsc.connectResult = kScardENoSmartcard;
  EXPECT_EQ(GetParam().run(), TL_E_NO_DEVICE);
  EXPECT_TRUE(pcsc.transmitted.empty());
  EXPECT_EQ(pcsc.CountCalls("ReleaseContext"), 1);
}

TEST_P(EveryCommandTest, CardPulledDuringTheLastExchange) {
  if (std::string(GetParam().name) == "AuthenticateCustomerKey") Script({Answer("11 22 33 44 55 66 77 88 90 00")});
  pcsc.replies.push_back(Failure(kScardWRemovedCard));
  EXPECT_EQ(GetParam().run(), GetParam().onTransmitFailure);
  EXPECT_EQ(pcsc.calls.back(), "ReleaseContext");
}

TEST_P(EveryCommandTest, OnlyNineZeroZeroSucceeds) {
  const bool authenticate = std::string(GetParam().name) == "AuthenticateCustomerKey";
  const bool readInfo = std::string(GetParam().name) == "ReadTokenInfo";
  const std::string body = readInfo ? "00 00 00 00 53 4E 00 00 65 E0 71 C0 " : "";
  for (const char* sw : {"90 01", "61 10", "6C 08", "6A 80"}) {
    pcsc.replies.clear();
    if (authenticate) pcsc.replies.push_back(Answer("11 22 33 44 55 66 77 88 90 00"));
    pcsc.replies.push_back(Answer(body + sw));
    const int32_t result = GetParam().run();
    EXPECT_EQ(result, authenticate ? TL_E_AUTH_REJECTED : TL_E_CARD_STATUS) << sw;
  }
  pcsc.replies.clear();
  if (authenticate) pcsc.replies.push_back(Answer("11 22 33 44 55 66 77 88 90 00"));
  pcsc.replies.push_back(Answer(body + "90 00"));
  EXPECT_EQ(GetParam().run(), TL_OK);
  // 61 xx and 6C xx are not followed up: no GET RESPONSE, no repeated command.
  EXPECT_EQ(pcsc.transmitted.size(), authenticate ? 10u : 5u);
  EXPECT_EQ(pcsc.CountCalls("Connect"), 5);
  EXPECT_EQ(pcsc.CountCalls("Disconnect"), 5);
}

INSTANTIATE_TEST_SUITE_P(Commands, EveryCommandTest, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------- AuthenticateCustomerKey

using AuthenticateTest = ScriptedPcscTest;

TEST_F(AuthenticateTest, SendsTheChallengeEncryptedUnderTheKey) {
  Script({Answer("11 22 33 44 55 66 77 88 90 00"), Answer("90 00")});
  EXPECT_EQ(AuthenticateCustomerKey(kReader, kKey), TL_OK);
  // SM4-ECB of 11 22 33 44 55 66 77 88 00 .. 00 under the key.
  EXPECT_EQ(pcsc.SentApdus(),
            (std::vector<Bytes>{Hex("80 4B 08 00 00"),
                                Hex("80 CE 00 00 10 ED C7 AC 85 87 C6 23 18 A0 1D CD 93 A6 3D B3 84")}));
  EXPECT_EQ(pcsc.CountCalls("Connect"), 1);
}

TEST_F(AuthenticateTest, ShortChallengeLeavesZerosAndItsStatusIsNotJudged) {
  Script({Answer("6D 00"), Answer("90 00")});
  EXPECT_EQ(AuthenticateCustomerKey(kReader, kKey), TL_OK);
  // SM4-ECB of 6D 00 00 .. 00 under the key.
  ASSERT_EQ(pcsc.transmitted.size(), 2u);
  EXPECT_EQ(pcsc.transmitted[1].apdu, Hex("80 CE 00 00 10 2B 0A E4 70 F2 9A 80 56 C6 7F 8B 47 50 2D 14 DF"));
}

TEST_F(AuthenticateTest, OnlyTheFirstThirtyTwoDigitsOfALongKeyTextCount) {
  Script({Answer("11 22 33 44 55 66 77 88 90 00"), Answer("90 00")});
  const std::string longKey = std::string(kKey) + std::string(200, 'F');
  EXPECT_EQ(AuthenticateCustomerKey(kReader, longKey.c_str()), TL_OK);
  ASSERT_EQ(pcsc.transmitted.size(), 2u);
  EXPECT_EQ(pcsc.transmitted[1].apdu, Hex("80 CE 00 00 10 ED C7 AC 85 87 C6 23 18 A0 1D CD 93 A6 3D B3 84"));
}

struct AuthCase {
  const char* name;
  const char* answer;
  int32_t result;
};

class AuthenticateOutcomeTest : public ScriptedPcscTest, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(AuthenticateOutcomeTest, StatusWordOfTheCryptogramDecides) {
  Script({Answer("11 22 33 44 55 66 77 88 90 00"), Answer(GetParam().answer)});
  EXPECT_EQ(AuthenticateCustomerKey(kReader, kKey), GetParam().result);
  EXPECT_EQ(pcsc.transmitted.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    StatusWords, AuthenticateOutcomeTest,
    ::testing::Values(AuthCase{"Accepted", "90 00", TL_OK}, AuthCase{"ThreeTriesLeft", "63 C3", 0x10C3},
                      AuthCase{"NoTriesLeft", "63 C0", 0x10C0}, AuthCase{"FifteenTriesLeft", "63 CF", 0x10CF},
                      AuthCase{"NotRetryForm", "63 D1", TL_E_AUTH_REJECTED},
                      AuthCase{"Blocked", "69 83", TL_E_KEY_LOCKED},
                      AuthCase{"WrongData", "6A 80", TL_E_AUTH_REJECTED},
                      AuthCase{"NoPreciseDiagnosis", "6F 08", TL_E_AUTH_REJECTED},
                      AuthCase{"OtherSecurityStatus", "69 84", TL_E_AUTH_REJECTED},
                      AuthCase{"WarningNotSuccess", "62 00", TL_E_AUTH_REJECTED},
                      AuthCase{"StatusAfterData", "90 00 63 C3", 0x10C3},
                      // An answer without a status word is a broken exchange, not a verdict.
                      AuthCase{"NoBytes", "", TL_E_AUTH_EXCHANGE}, AuthCase{"OneByte", "90", TL_E_AUTH_EXCHANGE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AuthenticateTest, ChallengeExchangeFailureStopsBeforeTheCryptogram) {
  Script({Failure(kScardWRemovedCard)});
  EXPECT_EQ(AuthenticateCustomerKey(kReader, kKey), TL_E_AUTH_EXCHANGE);
  EXPECT_EQ(pcsc.transmitted.size(), 1u);
}

// A challenge whose answer was lost on the way (no status word) gives no
// cryptogram: one made from zeros would only cost the token a try.
TEST_F(AuthenticateTest, ChallengeWithoutAnAnswerStopsBeforeTheCryptogram) {
  for (const char* answer : {"", "4B"}) {
    pcsc.transmitted.clear();
    Script({Answer(answer)});
    Delivery delivery = Delivery::Answered;
    EXPECT_EQ(AuthenticateCustomerKey(kReader, kKey, &delivery), TL_E_AUTH_EXCHANGE) << answer;
    EXPECT_EQ(delivery, Delivery::NotSent) << answer;
    EXPECT_EQ(pcsc.transmitted.size(), 1u) << answer;
  }
}

// What became of a command on the wire: whether the token may have acted on
// it although no verdict came back.
struct DeliveryCase {
  const char* name;
  std::vector<Reply> script;
  Delivery delivery;
};

class AuthenticateDeliveryTest : public ScriptedPcscTest, public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(AuthenticateDeliveryTest, CryptogramSentDecides) {
  pcsc.replies.assign(GetParam().script.begin(), GetParam().script.end());
  Delivery delivery = Delivery::NotSent;
  AuthenticateCustomerKey(kReader, kKey, &delivery);
  EXPECT_EQ(delivery, GetParam().delivery);
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, AuthenticateDeliveryTest,
    ::testing::Values(
        DeliveryCase{"ChallengeLost", {Failure(kScardWRemovedCard)}, Delivery::NotSent},
        DeliveryCase{"CryptogramTransmitFails", {Answer("11 22 33 44 55 66 77 88 90 00"), Failure(kScardWRemovedCard)},
                     Delivery::AnswerLost},
        DeliveryCase{"CryptogramDataLost",
                     {Answer("11 22 33 44 55 66 77 88 90 00"), Failure(kScardECommDataLost)}, Delivery::AnswerLost},
        DeliveryCase{"CryptogramAnswerEmpty", {Answer("11 22 33 44 55 66 77 88 90 00"), Answer("")},
                     Delivery::AnswerLost},
        DeliveryCase{"Refused", {Answer("11 22 33 44 55 66 77 88 90 00"), Answer("63 C2")}, Delivery::Answered},
        DeliveryCase{"Accepted", {Answer("11 22 33 44 55 66 77 88 90 00"), Answer("90 00")}, Delivery::Answered}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AuthenticateTest, MissingOrEmptyKeyOpensButSendsNothing) {
  for (const char* key : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(AuthenticateCustomerKey(kReader, key), TL_E_NO_KEY);
  }
  EXPECT_EQ(pcsc.CountCalls("Connect"), 2);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

TEST_F(AuthenticateTest, NoDeviceIsReportedBeforeAMissingKey) {
  pcsc.connectResult = kScardENoSmartcard;
  EXPECT_EQ(AuthenticateCustomerKey(kReader, ""), TL_E_NO_DEVICE);
}

TEST(AuthRetryCode, CarriesTheTriesLeft) {
  EXPECT_TRUE(IsAuthRetry(0x10C0));
  EXPECT_TRUE(IsAuthRetry(0x10CF));
  EXPECT_FALSE(IsAuthRetry(TL_E_AUTH_REJECTED));
  EXPECT_FALSE(IsAuthRetry(0x10D0));
}

// -------------------------------------------------------------- SyncTokenClock

struct SyncCase {
  int tag22;
  const char* command;
};

class SyncTokenClockTest : public ScriptedPcscTest, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(SyncTokenClockTest, SendsTheProtectedParameterCommand) {
  Script({Answer("90 00")});
  EXPECT_EQ(SyncTokenClock(kReader, kKey, "2024/02/29/12/00/00", GetParam().tag22), TL_OK);
  EXPECT_EQ(pcsc.SentApdus(), std::vector<Bytes>{Hex(GetParam().command)});
}

INSTANTIATE_TEST_SUITE_P(
    Tag22Values, SyncTokenClockTest,
    ::testing::Values(SyncCase{-1, "84 D4 00 00 0C 81 06 0F 04 65 E0 71 C0 ED 18 DA D9"},
                      SyncCase{0, "84 D4 00 00 0F 81 09 0F 04 65 E0 71 C0 22 01 00 06 46 15 58"},
                      SyncCase{3, "84 D4 00 00 0F 81 09 0F 04 65 E0 71 C0 22 01 03 1B 5C 57 55"},
                      SyncCase{15, "84 D4 00 00 0F 81 09 0F 04 65 E0 71 C0 22 01 0F 13 81 B6 1B"}),
    [](const auto& info) {
      return info.param.tag22 < 0 ? std::string("LeftOut") : "Value" + std::to_string(info.param.tag22);
    });

using SyncTokenClockCheckTest = ScriptedPcscTest;

TEST_F(SyncTokenClockCheckTest, BadTag22ValuesOpenButSendNothing) {
  for (int value : {1, 2, 16, -2, 255}) {
    EXPECT_EQ(SyncTokenClock(kReader, kKey, "2024/02/29/12/00/00", value), TL_E_BAD_PARAMETER) << value;
  }
  EXPECT_EQ(pcsc.CountCalls("Connect"), 5);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

TEST_F(SyncTokenClockCheckTest, DeviceThenTimeTextThenTag22) {
  EXPECT_EQ(SyncTokenClock(kReader, kKey, "2024/02/30/12/00/00", 1), TL_E_TIME_TEXT);
  EXPECT_EQ(SyncTokenClock(kReader, kKey, nullptr, 1), TL_E_TIME_TEXT);
  pcsc.connectResult = kScardENoSmartcard;
  EXPECT_EQ(SyncTokenClock(kReader, kKey, "2024/02/30/12/00/00", 1), TL_E_NO_DEVICE);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

TEST_F(SyncTokenClockCheckTest, MissingKeyTextIsABadParameter) {
  EXPECT_EQ(SyncTokenClock(kReader, nullptr, "2024/02/29/12/00/00", 0), TL_E_BAD_PARAMETER);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

// -------------------------------------------------------------- ConfigureToken

struct ConfigureCase {
  const char* name;
  const char* algorithm;
  int timeStep;
  int displayTime;
  const char* dateTime;
  int tag22;
  const char* record;
  const char* mac;  // empty: only the record and the lengths are checked
};

class ConfigureTokenTest : public ScriptedPcscTest, public ::testing::WithParamInterface<ConfigureCase> {};

TEST_P(ConfigureTokenTest, RecordLayout) {
  const ConfigureCase& c = GetParam();
  Script({Answer("90 00")});
  EXPECT_EQ(ConfigureToken(kReader, kKey, c.algorithm, c.timeStep, c.displayTime, c.dateTime, c.tag22), TL_OK);
  ASSERT_EQ(pcsc.transmitted.size(), 1u);
  const Bytes& sent = pcsc.transmitted[0].apdu;
  const Bytes record = Hex(c.record);
  ASSERT_EQ(sent.size(), record.size() + 9);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 5),
            (Bytes{0x84, 0xD4, 0x00, 0x00, static_cast<uint8_t>(record.size() + 4)}));
  EXPECT_EQ(Bytes(sent.begin() + 5, sent.end() - 4), record);
  EXPECT_EQ(record[1], record.size() - 2);
  if (c.mac[0] != '\0') {
    EXPECT_EQ(Bytes(sent.end() - 4, sent.end()), Hex(c.mac));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, ConfigureTokenTest,
    ::testing::Values(
        // As the window sends it: 22-byte record, MAC over 80 D4 00 00 16 and the record.
        ConfigureCase{"Everything", "SHA1", 30, 30, "2024/02/29/12/00/00", 0,
                      "81 14 1F 01 01 22 01 00 0F 04 65 E0 71 C0 86 06 0A 01 01 0D 01 1E", "AF 89 23 B5"},
        // Identical to the clock sync without tag 22.
        ConfigureCase{"OnlyClock", nullptr, -1, -1, "2024/02/29/12/00/00", -1, "81 06 0F 04 65 E0 71 C0",
                      "ED 18 DA D9"},
        ConfigureCase{"OnlyTimeStep60", nullptr, 60, -1, nullptr, -1, "81 05 86 03 0D 01 3C", "D7 E3 CB EE"},
        ConfigureCase{"Tag22LowByte", nullptr, -1, -1, nullptr, 300, "81 03 22 01 2C", "D0 50 34 6A"},
        ConfigureCase{"OnlyAlgorithm", "SHA256", -1, -1, nullptr, -1, "81 05 86 03 0A 01 02", ""},
        ConfigureCase{"Display15", nullptr, -1, 15, nullptr, -1, "81 03 1F 01 00", ""},
        ConfigureCase{"Display60", nullptr, -1, 60, nullptr, -1, "81 03 1F 01 02", ""},
        ConfigureCase{"Display120Sha256Step60", "SHA256", 60, 120, nullptr, -1,
                      "81 0B 1F 01 03 86 06 0A 01 02 0D 01 3C", ""}),
    [](const auto& info) { return std::string(info.param.name); });

using ConfigureTokenCheckTest = ScriptedPcscTest;

TEST_F(ConfigureTokenCheckTest, BadValuesAreCheckedAfterOpening) {
  EXPECT_EQ(ConfigureToken(kReader, kKey, "SHA1", 30, 45, nullptr, 0), TL_E_BAD_PARAMETER);
  EXPECT_EQ(ConfigureToken(kReader, kKey, "SHA1", 45, 30, nullptr, 0), TL_E_BAD_PARAMETER);
  EXPECT_EQ(ConfigureToken(kReader, kKey, "SHA512", 30, 30, nullptr, 0), TL_E_BAD_PARAMETER);
  EXPECT_EQ(ConfigureToken(kReader, kKey, "sha1", 30, 30, nullptr, 0), TL_E_BAD_PARAMETER);
  EXPECT_EQ(ConfigureToken(kReader, kKey, "", 30, 30, nullptr, 0), TL_E_BAD_PARAMETER);
  EXPECT_EQ(ConfigureToken(kReader, nullptr, "SHA1", 30, 30, nullptr, 0), TL_E_BAD_PARAMETER);
  EXPECT_EQ(pcsc.CountCalls("Connect"), 6);
  EXPECT_TRUE(pcsc.transmitted.empty());

  pcsc.connectResult = kScardENoSmartcard;
  EXPECT_EQ(ConfigureToken(kReader, kKey, "SHA512", 45, 45, "nonsense", 0), TL_E_NO_DEVICE);
}

TEST_F(ConfigureTokenCheckTest, BadTimeTextSendsNothing) {
  EXPECT_EQ(ConfigureToken(kReader, kKey, "SHA1", 30, 30, "2024/02/30/12/00/00", 0), TL_E_TIME_TEXT);
  EXPECT_EQ(ConfigureToken(kReader, kKey, nullptr, -1, -1, "", -1), TL_E_TIME_TEXT);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

TEST_F(ConfigureTokenCheckTest, NothingToWriteSendsNothing) {
  EXPECT_EQ(ConfigureToken(kReader, kKey, nullptr, -1, -1, nullptr, -1), TL_OK);
  EXPECT_EQ(pcsc.CountCalls("Connect"), 1);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

// ------------------------------------------------------------------- WriteSeed

struct SeedCase {
  int length;
  const char* ciphertext;  // SM4-ECB of the seed 00 01 02 .. padded with 80 00 ..
  const char* mac;
};

class WriteSeedTest : public ScriptedPcscTest, public ::testing::WithParamInterface<SeedCase> {};

TEST_P(WriteSeedTest, PadsEncryptsAndProtects) {
  const Bytes seed = Sequence(GetParam().length);
  const Bytes ciphertext = Hex(GetParam().ciphertext);
  Script({Answer("90 00")});
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), GetParam().length, kSeedAlgorithmSha1), TL_OK);
  const Bytes expected = Concat({Hex("84 C5 01 00"), Bytes{static_cast<uint8_t>(ciphertext.size() + 4)}, ciphertext,
                                 Hex(GetParam().mac)});
  EXPECT_EQ(pcsc.SentApdus(), std::vector<Bytes>{expected});
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, WriteSeedTest,
    ::testing::Values(
        // 15 bytes + 80: one block; command of 25 bytes.
        SeedCase{15, "742D351D1AA3523BAFD5832D30295F5D", "76 78 C0 9E"},
        // 16 bytes + 80 00 .. 00: two blocks.
        SeedCase{16, "06989C613DA668AD2A8DF782E1A8F96A8C338E5A27E349BEAE39214FEDA97099", "91 0D CA 01"},
        // 20 bytes: 32-byte ciphertext, Lc 24, 41-byte command.
        SeedCase{20, "06989C613DA668AD2A8DF782E1A8F96A055BF8FBEC2D0CD99122BCC6BCF3BDF4", "0A AE E7 39"},
        // 64 bytes: 80-byte ciphertext, Lc 54, 89-byte command.
        SeedCase{64,
                 "06989C613DA668AD2A8DF782E1A8F96A4B910651754B5553F10CFA0C8A09E9E5F42952CF94AC83688437C9B671D6C7FA"
                 "D55BFD68E7901219F41FAB48427AB58D8C338E5A27E349BEAE39214FEDA97099",
                 "2E 02 0E 61"}),
    [](const auto& info) { return "Bytes" + std::to_string(info.param.length); });

struct LongSeedCase {
  const char* name;
  int length;
  int algorithm;
  const char* digest;  // sha1sum / sha256sum of the bytes 00 01 02 .. length-1
};

class WriteLongSeedTest : public ScriptedPcscTest, public ::testing::WithParamInterface<LongSeedCase> {};

TEST_P(WriteLongSeedTest, SendsTheDigestZeroFilledToSixtyFourBytes) {
  const Bytes seed = Sequence(GetParam().length);
  Script({Answer("90 00")});
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), GetParam().length, GetParam().algorithm), TL_OK);
  ASSERT_EQ(pcsc.transmitted.size(), 1u);
  const Bytes& sent = pcsc.transmitted[0].apdu;
  ASSERT_EQ(sent.size(), 89u);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 5), Hex("84 C5 01 00 54"));

  Bytes plain(80);
  std::size_t capacity = plain.size();
  ASSERT_EQ(Sm4EcbCrypt(kKeyBytes.data(), sent.data() + 5, 80, plain.data(), &capacity, kSm4Decrypt), 0);
  const Bytes digest = Hex(GetParam().digest);
  EXPECT_EQ(plain, Concat({digest, Bytes(64 - digest.size(), 0), Hex("80"), Bytes(15, 0)}));
}

INSTANTIATE_TEST_SUITE_P(
    Digests, WriteLongSeedTest,
    ::testing::Values(
        LongSeedCase{"Sha1Of65", 65, kSeedAlgorithmSha1, "69bd728ad6e13cd76ff19751fde427b00e395746"},
        LongSeedCase{"Sha1Of160", 160, kSeedAlgorithmSha1, "aca27247604a6960e513b1eea56146bb4e443c47"},
        LongSeedCase{"Sha256Of65", 65, kSeedAlgorithmSha256,
                     "4bfd2c8b6f1eec7a2afeb48b934ee4b2694182027e6d0fc075074f2fabb31781"},
        LongSeedCase{"Sha256Of160", 160, kSeedAlgorithmSha256,
                     "448ebbc9e1a31220a2f3830c18eef61b9bd070e5084b7fa2a359fe729184c719"}),
    [](const auto& info) { return std::string(info.param.name); });

using WriteSeedCheckTest = ScriptedPcscTest;

TEST_F(WriteSeedCheckTest, BadArgumentsAreRefusedWithoutOpening) {
  const Bytes seed = Sequence(20);
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), 20, 3), TL_E_BAD_PARAMETER);
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), 20, 0), TL_E_BAD_PARAMETER);
  EXPECT_EQ(WriteSeed(nullptr, kKey, seed.data(), 20, 1), TL_E_BAD_PARAMETER);
  EXPECT_EQ(WriteSeed(kReader, nullptr, seed.data(), 20, 1), TL_E_BAD_PARAMETER);
  EXPECT_EQ(WriteSeed(kReader, kKey, nullptr, 20, 1), TL_E_BAD_PARAMETER);
  EXPECT_TRUE(pcsc.calls.empty());
  // Even with no device and a bad length, the arguments come first.
  pcsc.connectResult = kScardENoSmartcard;
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), 0, 3), TL_E_BAD_PARAMETER);
}

TEST_F(WriteSeedCheckTest, LengthOutsideOneTo160OpensButSendsNothing) {
  const Bytes seed = Sequence(200);
  for (int length : {0, 161, -1}) {
    EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), length, 1), TL_E_SEED_LENGTH) << length;
  }
  EXPECT_EQ(pcsc.CountCalls("Connect"), 3);
  EXPECT_TRUE(pcsc.transmitted.empty());
  pcsc.connectResult = kScardENoSmartcard;
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), 0, 1), TL_E_NO_DEVICE);
}

TEST_F(WriteSeedCheckTest, TheAlgorithmIsNotSentForShortSeeds) {
  const Bytes seed = Sequence(20);
  Script({Answer("90 00"), Answer("90 00")});
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), 20, kSeedAlgorithmSha1), TL_OK);
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), 20, kSeedAlgorithmSha256), TL_OK);
  ASSERT_EQ(pcsc.transmitted.size(), 2u);
  EXPECT_EQ(pcsc.transmitted[0].apdu, pcsc.transmitted[1].apdu);
}

// A seed write that left without a verdict may be in the token; one refused
// before it was sent, or judged by the token, is not.
TEST_F(WriteSeedCheckTest, DeliveryTellsWhetherTheTokenMayHoldTheSeed) {
  const Bytes seed = Sequence(20);
  struct Case {
    const char* name;
    Reply reply;
    int length;
    int32_t result;
    Delivery delivery;
  };
  const Case cases[] = {
      {"written", Answer("90 00"), 20, TL_OK, Delivery::Answered},
      {"refused", Answer("69 82"), 20, TL_E_CARD_STATUS, Delivery::Answered},
      {"card pulled", Failure(kScardWRemovedCard), 20, kScardWRemovedCard, Delivery::AnswerLost},
      {"answer lost", Failure(kScardECommDataLost), 20, kScardECommDataLost, Delivery::AnswerLost},
      {"length refused", Answer("90 00"), 0, TL_E_SEED_LENGTH, Delivery::NotSent},
  };
  for (const Case& c : cases) {
    Script({c.reply});
    Delivery delivery = Delivery::Answered;
    EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), c.length, kSeedAlgorithmSha1, &delivery), c.result) << c.name;
    EXPECT_EQ(delivery, c.delivery) << c.name;
  }
  pcsc.connectResult = kScardENoSmartcard;
  Delivery delivery = Delivery::Answered;
  EXPECT_EQ(WriteSeed(kReader, kKey, seed.data(), 20, kSeedAlgorithmSha1, &delivery), TL_E_NO_DEVICE);
  EXPECT_EQ(delivery, Delivery::NotSent);
}

// -------------------------------------------------------------------- SealToken

using SealTokenTest = ScriptedPcscTest;

TEST_F(SealTokenTest, AlwaysTheSameNineBytes) {
  Script({Answer("90 00"), Answer("90 00")});
  EXPECT_EQ(SealToken(kReader, kKey), TL_OK);
  EXPECT_EQ(SealToken(kReader, kKey), TL_OK);
  EXPECT_EQ(pcsc.SentApdus(), (std::vector<Bytes>{Hex("84 C7 00 00 04 D5 BA 28 93"), Hex("84 C7 00 00 04 D5 BA 28 93")}));
}

TEST_F(SealTokenTest, MissingKeyTextIsABadParameter) {
  EXPECT_EQ(SealToken(kReader, nullptr), TL_E_BAD_PARAMETER);
  EXPECT_TRUE(pcsc.transmitted.empty());
}

}  // namespace
}  // namespace tokenlink_test
