// TOTP engine against RFC 6238 Appendix B, RFC 2202/4231 HMAC vectors and oathtool.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base32.h"
#include "totp.h"

namespace {

using seed::ComputeTotp;
using seed::OtpAlgorithm;

class FixedClock : public ::testing::Test {
 protected:
  void SetUp() override {
    seed::SetTotpClock([this] { return now_; });
  }
  void TearDown() override { seed::SetTotpClock({}); }
  int64_t now_ = 0;
};

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string ToBase32(const std::vector<uint8_t>& bytes) {
  std::string text((8 * bytes.size() + 4) / 5 + 1, '\0');
  text.resize(static_cast<std::size_t>(seed::Base32Encode(bytes.data(), bytes.size(), text.data())));
  return text;
}

// RFC 6238 Appendix B: the reference keys as Base32 text, 8 digits, step 30.
constexpr const char* kRfcKeySha1 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
constexpr const char* kRfcKeySha256 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====";
constexpr const char* kRfcKeySha512 =
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNA=";

struct RfcVector {
  int64_t time;
  OtpAlgorithm algorithm;
  uint32_t code;
};
constexpr RfcVector kRfc6238[] = {
    {59, OtpAlgorithm::Sha1, 94287082},          {59, OtpAlgorithm::Sha256, 46119246},
    {59, OtpAlgorithm::Sha512, 90693936},        {1111111109, OtpAlgorithm::Sha1, 7081804},
    {1111111109, OtpAlgorithm::Sha256, 68084774}, {1111111109, OtpAlgorithm::Sha512, 25091201},
    {1111111111, OtpAlgorithm::Sha1, 14050471},  {1111111111, OtpAlgorithm::Sha256, 67062674},
    {1111111111, OtpAlgorithm::Sha512, 99943326}, {1234567890, OtpAlgorithm::Sha1, 89005924},
    {1234567890, OtpAlgorithm::Sha256, 91819424}, {1234567890, OtpAlgorithm::Sha512, 93441116},
    {2000000000, OtpAlgorithm::Sha1, 69279037},  {2000000000, OtpAlgorithm::Sha256, 90698825},
    {2000000000, OtpAlgorithm::Sha512, 38618901}, {20000000000, OtpAlgorithm::Sha1, 65353130},
    {20000000000, OtpAlgorithm::Sha256, 77737706}, {20000000000, OtpAlgorithm::Sha512, 47863826},
};

const char* RfcKey(OtpAlgorithm algorithm) {
  switch (algorithm) {
    case OtpAlgorithm::Sha256:
      return kRfcKeySha256;
    case OtpAlgorithm::Sha512:
      return kRfcKeySha512;
    default:
      return kRfcKeySha1;
  }
}

TEST_F(FixedClock, Rfc6238AppendixB) {
  for (const RfcVector& v : kRfc6238) {
    now_ = v.time;
    EXPECT_EQ(ComputeTotp(v.algorithm, 30, RfcKey(v.algorithm), 8, 0), v.code)
        << "time " << v.time << " algorithm " << static_cast<int>(v.algorithm);
  }
}

TEST_F(FixedClock, StepBoundaries) {
  // Codes from oathtool for the RFC's SHA-1 key: a multiple of the step starts
  // a new counter, one second earlier still belongs to the previous one.
  struct Case {
    int64_t time;
    uint8_t step;
    uint32_t code;
  };
  const Case cases[] = {
      {1111111109, 30, 7081804},  {1111111110, 30, 14050471}, {1111111139, 30, 14050471},
      {1111111140, 30, 44266759}, {1111111139, 60, 19360094}, {1111111140, 60, 68593113},
  };
  for (const Case& c : cases) {
    now_ = c.time;
    EXPECT_EQ(ComputeTotp(OtpAlgorithm::Sha1, c.step, kRfcKeySha1, 8, 0), c.code) << c.time << " step " << int(c.step);
  }
}

TEST_F(FixedClock, SecretThatDoesNotDecodeUsesTheEmptyKey) {
  // oathtool with an empty key at time 59: 812658 (SHA-1), 007993 (SHA-256).
  now_ = 59;
  for (const char* secret : {"", "gezdgnbv", "GEZ DGNBV", "========", "1"}) {
    EXPECT_EQ(ComputeTotp(OtpAlgorithm::Sha1, 30, secret, 6, 0), 812658u) << '"' << secret << '"';
    EXPECT_EQ(ComputeTotp(OtpAlgorithm::Sha256, 30, secret, 6, 0), 7993u) << '"' << secret << '"';
  }
}

TEST_F(FixedClock, ZeroTimeStepGivesZeroInsteadOfDividing) {
  now_ = 1234567890;
  EXPECT_EQ(ComputeTotp(OtpAlgorithm::Sha1, 0, kRfcKeySha1, 6, 0), 0u);
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[1024];
  std::size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return out;
}

TEST_F(FixedClock, AgreesWithOathtoolOnRandomSecrets) {
  // Every secret length the token takes, with keys below, at and above the
  // block size; the window's two algorithms; offsets -10..+10.
  std::mt19937 random(6238);
  for (std::size_t length = 1; length <= 160; ++length) {
    std::vector<uint8_t> key(length);
    for (uint8_t& b : key) b = static_cast<uint8_t>(random());
    std::string secret = ToBase32(key);
    if (length == 160) {
      // 160 bytes take 256 characters, one beyond the decoder's limit; the
      // 255-character form carries the last byte in its 3 leftover bits.
      key.back() = 0xA0;
      secret = ToBase32(key);
      ASSERT_EQ(secret.back(), 'A');
      secret.pop_back();
    }
    const uint8_t step = (length % 2 == 0) ? 30 : 60;
    now_ = 1700000000 + static_cast<int64_t>(random() % 100000000);
    for (OtpAlgorithm algorithm : {OtpAlgorithm::Sha1, OtpAlgorithm::Sha256}) {
      // oathtool prints the codes of 21 consecutive counters from the first one.
      std::ostringstream command;
      command << "oathtool --totp=" << (algorithm == OtpAlgorithm::Sha1 ? "sha1" : "sha256")
              << " --time-step-size=" << int(step) << "s -N @" << (now_ - 10 * step) << " -w 20 --digits=6 "
              << ToHex(key);
      std::istringstream codes(RunCommand(command.str()));
      for (int offset = -10; offset <= 10; ++offset) {
        std::string expected;
        ASSERT_TRUE(static_cast<bool>(std::getline(codes, expected))) << command.str();
        EXPECT_EQ(ComputeTotp(algorithm, step, secret, 6, offset), std::stoul(expected))
            << command.str() << " offset " << offset;
      }
    }
  }
}

TEST(HmacDigest, Rfc2202AndRfc4231Vectors) {
  struct Case {
    OtpAlgorithm algorithm;
    std::vector<uint8_t> key;
    std::string message;
    std::string mac;
  };
  const std::string largeKeyMessage = "Test Using Larger Than Block-Size Key - Hash Key First";
  const Case cases[] = {
      {OtpAlgorithm::Sha1, std::vector<uint8_t>(20, 0x0B), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {OtpAlgorithm::Sha1, std::vector<uint8_t>(80, 0xAA), largeKeyMessage, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {OtpAlgorithm::Sha256, std::vector<uint8_t>(20, 0x0B), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {OtpAlgorithm::Sha256, std::vector<uint8_t>(131, 0xAA), largeKeyMessage,
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {OtpAlgorithm::Sha512, std::vector<uint8_t>(20, 0x0B), "Hi There",
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e"
       "696c203a126854"},
      {OtpAlgorithm::Sha512, std::vector<uint8_t>(131, 0xAA), largeKeyMessage,
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec"
       "8b915a985d786598"},
  };
  for (const Case& c : cases) {
    const auto& hash = seed::HashFor(c.algorithm);
    const std::vector<uint8_t> mac = seed::HmacDigest(reinterpret_cast<const uint8_t*>(c.message.data()),
                                                      c.message.size(), c.key.data(), c.key.size(), hash);
    EXPECT_EQ(mac, FromHex(c.mac)) << static_cast<int>(c.algorithm) << " key " << c.key.size();
    EXPECT_EQ(mac.size(), static_cast<std::size_t>(hash.digestSize));
  }
}

}  // namespace
