// SM4, the SM4 CBC-MAC, protected APDUs, key text decoding and the digests,
// against the standard's vectors and values made with outside tools.
//
// MAC and ciphertext values were made with the OpenSSL 3.0 command line
// (make_vectors.sh beside this file): the MAC is the first 4 bytes of the last
// block of `openssl enc -sm4-cbc -K <key> -iv 000..0 -nopad` over the data
// padded with 80 00.., ciphertexts come from `openssl enc -sm4-ecb -nopad`.
// Digests come from sha1sum and sha256sum.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "scripted_pcsc.h"
#include "sm4.h"

namespace tokenlink_test {
namespace {

using namespace tokenlink;

// GB/T 32907-2016, appendix A: key and plaintext are the same 16 bytes.
const Bytes kStandardKey = Hex("01 23 45 67 89 AB CD EF FE DC BA 98 76 54 32 10");
const Bytes kStandardCipher = Hex("68 1E DF 34 D2 06 96 5E 86 B3 E9 4F 53 6E 42 46");

TEST(Sm4, EncryptsTheStandardExample) {
  Bytes out(16);
  std::size_t capacity = out.size();
  ASSERT_EQ(Sm4EcbCrypt(kStandardKey.data(), kStandardKey.data(), 16, out.data(), &capacity, kSm4Encrypt), 0);
  EXPECT_EQ(out, kStandardCipher);
  EXPECT_EQ(capacity, 16u);
}

TEST(Sm4, DecryptsTheStandardExample) {
  Bytes out(16);
  std::size_t capacity = out.size();
  ASSERT_EQ(Sm4EcbCrypt(kStandardKey.data(), kStandardCipher.data(), 16, out.data(), &capacity, kSm4Decrypt), 0);
  EXPECT_EQ(out, kStandardKey);
}

// The standard's second example: the plaintext encrypted 1,000,000 times
// under the same key.
TEST(Sm4, EncryptsTheStandardExampleAMillionTimes) {
  Bytes block = kStandardKey;
  for (int i = 0; i < 1000000; ++i) {
    std::size_t capacity = block.size();
    ASSERT_EQ(Sm4EcbCrypt(kStandardKey.data(), block.data(), 16, block.data(), &capacity, kSm4Encrypt), 0);
  }
  EXPECT_EQ(block, Hex("59 52 98 C7 C6 FD 27 1F 04 02 F8 04 C3 3D 3F 66"));
}

TEST(Sm4, EncryptsEveryBlockByItself) {
  const Bytes input = Concat({kStandardKey, kStandardKey});
  Bytes out(48, 0xEE);
  std::size_t capacity = out.size();
  ASSERT_EQ(Sm4EcbCrypt(kStandardKey.data(), input.data(), 32, out.data(), &capacity, kSm4Encrypt), 0);
  EXPECT_EQ(capacity, 32u);
  EXPECT_EQ(out, Concat({kStandardCipher, kStandardCipher, Bytes(16, 0xEE)}));
}

struct EcbRejectCase {
  const char* name;
  std::size_t length;
  int direction;
  std::size_t capacity;
  int result;
  std::size_t capacityAfter;
};

class Sm4EcbRejectTest : public ::testing::TestWithParam<EcbRejectCase> {};

TEST_P(Sm4EcbRejectTest, WritesNothing) {
  const EcbRejectCase& c = GetParam();
  const Bytes input(64, 0x11);
  Bytes out(64, 0xEE);
  std::size_t capacity = c.capacity;
  EXPECT_EQ(Sm4EcbCrypt(kStandardKey.data(), input.data(), c.length, out.data(), &capacity, c.direction), c.result);
  EXPECT_EQ(capacity, c.capacityAfter);
  EXPECT_EQ(out, Bytes(64, 0xEE));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, Sm4EcbRejectTest,
    ::testing::Values(EcbRejectCase{"LengthZero", 0, kSm4Encrypt, 64, -1, 64},
                      EcbRejectCase{"LengthNotBlocks", 20, kSm4Encrypt, 64, -1, 64},
                      EcbRejectCase{"BadDirection", 16, 2, 64, -2, 64},
                      // Bad length is reported before bad direction, bad direction before capacity.
                      EcbRejectCase{"LengthBeforeDirection", 20, 2, 8, -1, 8},
                      EcbRejectCase{"DirectionBeforeCapacity", 32, -1, 8, -2, 8},
                      EcbRejectCase{"CapacityTooSmall", 32, kSm4Encrypt, 16, 8, 32}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sm4, MissingPointersAreRejected) {
  Bytes in(16), out(16);
  std::size_t capacity = 16;
  EXPECT_EQ(Sm4EcbCrypt(kStandardKey.data(), nullptr, 16, out.data(), &capacity, kSm4Encrypt), -1);
  EXPECT_EQ(Sm4EcbCrypt(kStandardKey.data(), in.data(), 16, nullptr, &capacity, kSm4Encrypt), -1);
  EXPECT_EQ(Sm4EcbCrypt(kStandardKey.data(), in.data(), 16, out.data(), nullptr, kSm4Encrypt), -1);
}

struct MacCase {
  const char* name;
  const char* data;
  const char* mac;
  const char* lastBlock;  // the chaining value afterwards, when checked
};

class Sm4MacTest : public ::testing::TestWithParam<MacCase> {};

TEST_P(Sm4MacTest, MatchesOpensslCbcOverPaddedData) {
  const Bytes data = Hex(GetParam().data);
  std::array<uint8_t, 16> chain{};
  Bytes mac(8, 0xEE);
  std::size_t capacity = mac.size();
  ASSERT_EQ(Sm4Mac(kStandardKey.data(), chain.data(), data.data(), data.size(), mac.data(), &capacity), 0);
  EXPECT_EQ(capacity, 4u);
  EXPECT_EQ(mac, Concat({Hex(GetParam().mac), Bytes(4, 0xEE)}));
  if (GetParam().lastBlock[0] != '\0') {
    EXPECT_EQ(Bytes(chain.begin(), chain.end()), Hex(GetParam().lastBlock));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Sm4MacTest,
    ::testing::Values(
        // Empty data: the one block 80 00 .. 00.
        MacCase{"Empty", "", "8C 33 8E 5A", "8C338E5A27E349BEAE39214FEDA97099"},
        // 5 bytes: one block, 01..05 80 00 ...
        MacCase{"FiveBytes", "01 02 03 04 05", "A4 75 DC 3B", ""},
        // 16 bytes: the data block and a whole block 80 00 .. 00.
        MacCase{"OneFullBlock", "000102030405060708090A0B0C0D0E0F", "60 01 C4 0D", ""},
        // The seal command's MAC input.
        MacCase{"SealHeader", "80 C7 00 00 00", "D5 BA 28 93", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sm4MacCapacity, BelowFourIsRefusedAndAsksForFour) {
  std::array<uint8_t, 16> chain{};
  Bytes mac(4, 0xEE);
  std::size_t capacity = 3;
  const Bytes data = Hex("01 02 03 04 05");
  EXPECT_EQ(Sm4Mac(kStandardKey.data(), chain.data(), data.data(), data.size(), mac.data(), &capacity), 1);
  EXPECT_EQ(capacity, 4u);
  EXPECT_EQ(mac, Bytes(4, 0xEE));
  EXPECT_EQ(Bytes(chain.begin(), chain.end()), Bytes(16, 0));
}

TEST(Padding, AlwaysAddsAtLeastOneByte) {
  EXPECT_EQ(PadIso9797M2(nullptr, 0), Concat({Hex("80"), Bytes(15, 0)}));
  const Bytes fifteen(15, 0xAA);
  EXPECT_EQ(PadIso9797M2(fifteen.data(), 15), Concat({fifteen, Hex("80")}));
  const Bytes sixteen(16, 0xAA);
  EXPECT_EQ(PadIso9797M2(sixteen.data(), 16), Concat({sixteen, Hex("80"), Bytes(15, 0)}));
}

// The MAC covers CLA 80 and Lc without the MAC; the command sent carries 84 and
// Lc + 4. openssl's MAC over 84 C7 00 00 00 would be 6B 73 07 6A and over
// 80 C7 00 00 04 C3 ED 1A D4, so only the right header gives these bytes.
TEST(ProtectedApdu, SealCommandWithoutData) {
  EXPECT_EQ(BuildProtectedApdu(kStandardKey.data(), 0xC7, 0x00, 0x00, nullptr, 0),
            Hex("84 C7 00 00 04 D5 BA 28 93"));
}

TEST(ProtectedApdu, ParameterCommandWithData) {
  const Bytes record = Hex("81 06 0F 04 65 E0 71 C0");
  EXPECT_EQ(BuildProtectedApdu(kStandardKey.data(), 0xD4, 0x00, 0x00, record.data(), record.size()),
            Hex("84 D4 00 00 0C 81 06 0F 04 65 E0 71 C0 ED 18 DA D9"));
}

// Lc is one byte and counts the MAC: 251 data bytes are the most a command
// can carry. Longer data would wrap Lc and send a malformed command.
TEST(ProtectedApdu, DataBeyondOneByteLcIsRefused) {
  const Bytes most(251, 0x5A);
  const Bytes apdu = BuildProtectedApdu(kStandardKey.data(), 0xC5, 0x01, 0x00, most.data(), most.size());
  ASSERT_EQ(apdu.size(), 5u + 251u + 4u);
  EXPECT_EQ(apdu[4], 0xFF);
  const Bytes tooMany(252, 0x5A);
  EXPECT_TRUE(BuildProtectedApdu(kStandardKey.data(), 0xC5, 0x01, 0x00, tooMany.data(), tooMany.size()).empty());
}

struct HexCase {
  const char* text;
  const char* bytes;
};

class HexToBytesTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexToBytesTest, DecodesPairsAndNeverRejects) {
  Bytes out(4, 0xCC);
  HexToBytes(GetParam().text, out.data());
  const Bytes expected = Hex(GetParam().bytes);
  Bytes tail(out.begin() + static_cast<long>(expected.size()), out.end());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(expected.size())), expected) << GetParam().text;
  EXPECT_EQ(tail, Bytes(4 - expected.size(), 0xCC)) << "wrote past floor(length / 2)";
}

INSTANTIATE_TEST_SUITE_P(Texts, HexToBytesTest,
                         ::testing::Values(HexCase{"0F1E", "0F 1E"}, HexCase{"0f1e", "0F 1E"},
                                           HexCase{"0F1", "0F"}, HexCase{"G0", "F0"}, HexCase{"0G", "FF"},
                                           HexCase{"GG", "EF"}, HexCase{"aBcD", "AB CD"}, HexCase{"", ""},
                                           HexCase{"7", ""}));

TEST(HexToBytes, MissingTextWritesNothing) {
  Bytes out(4, 0xCC);
  HexToBytes(nullptr, out.data());
  EXPECT_EQ(out, Bytes(4, 0xCC));
}

// RFC 4648, section 10 (base 16), and every digit both ways.
TEST(BytesToHex, MatchesTheRfcVectorsInUpperCase) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""}, {"f", "66"}, {"fo", "666F"}, {"foo", "666F6F"}, {"foob", "666F6F62"},
      {"fooba", "666F6F6261"}, {"foobar", "666F6F626172"}};
  for (const auto& [text, hex] : vectors)
    EXPECT_EQ(BytesToHex(reinterpret_cast<const uint8_t*>(text.data()), text.size()), hex);
  const Bytes all = Hex("01 23 45 67 89 AB CD EF FE DC BA 98 76 54 32 10");
  EXPECT_EQ(BytesToHex(all.data(), all.size()), "0123456789ABCDEFFEDCBA9876543210");
}

struct DigestCase {
  const char* name;
  int algorithm;
  std::string data;
  const char* digest;
};

class DigestTest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(DigestTest, MatchesOutsideTools) {
  const DigestCase& c = GetParam();
  const Bytes expected = Hex(c.digest);
  Bytes out(40, 0xEE);
  ComputeDigest(c.algorithm, reinterpret_cast<const uint8_t*>(c.data.data()), static_cast<long>(c.data.size()),
                out.data());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(expected.size())), expected);
  EXPECT_EQ(Bytes(out.begin() + static_cast<long>(expected.size()), out.end()), Bytes(40 - expected.size(), 0xEE));
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, DigestTest,
    ::testing::Values(DigestCase{"Sha1Abc", kDigestSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
                      DigestCase{"Sha1Empty", kDigestSha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
                      DigestCase{"Sha256Abc", kDigestSha256, "abc",
                                 "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Digest, BadArgumentsLeaveTheOutputAsItWas) {
  const Bytes data = Hex("61 62 63");
  Bytes out(32, 0xEE);
  ComputeDigest(3, data.data(), 3, out.data());
  ComputeDigest(0, data.data(), 3, out.data());
  ComputeDigest(kDigestSha1, data.data(), -1, out.data());
  ComputeDigest(kDigestSha256, nullptr, 3, out.data());
  EXPECT_EQ(out, Bytes(32, 0xEE));
  ComputeDigest(kDigestSha1, data.data(), 3, nullptr);  // must not crash
}

}  // namespace
}  // namespace tokenlink_test
