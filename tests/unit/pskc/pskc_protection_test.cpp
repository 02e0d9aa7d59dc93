// Protection: AES-CBC, HMAC and PBKDF2 against outside tools' answers, the
// key checks, and a failing random source.
#include <gtest/gtest.h>

#include "pskc_protection.h"

namespace {

QByteArray Hex(const char* hex) { return QByteArray::fromHex(hex); }

TEST(PskcCryptoTest, AesCbcMatchesOpenSslCli) {
  // printf 'Orvex seed 0123456789' | openssl enc -aes-128-cbc
  //   -K 000102030405060708090a0b0c0d0e0f -iv 101112131415161718191a1b1c1d1e1f | xxd -p
  const QByteArray key = Hex("000102030405060708090a0b0c0d0e0f");
  const QByteArray iv = Hex("101112131415161718191a1b1c1d1e1f");
  const QByteArray cipher = Hex("935657e04ba14bf3c3e806e375712fddb11aba3d2a24031f6e177829352d9476");
  QString error;
  EXPECT_EQ(pskc::AesCbcEncrypt(key, iv, "Orvex seed 0123456789", &error), cipher) << error.toStdString();
  EXPECT_EQ(pskc::AesCbcDecrypt(key, iv, cipher, &error), QByteArray("Orvex seed 0123456789"));
  EXPECT_EQ(pskc::DecryptIvAndCipher(key, iv + cipher, &error), QByteArray("Orvex seed 0123456789"));
}

TEST(PskcCryptoTest, HmacSha1MatchesOpenSslCli) {
  // printf 'IV and ciphertext' | openssl dgst -sha1 -mac HMAC
  //   -macopt hexkey:0102030405060708090a0b0c0d0e0f1011121314
  QString error;
  EXPECT_EQ(pskc::Hmac(pskc::MacDigest::Sha1, Hex("0102030405060708090a0b0c0d0e0f1011121314"),
                       "IV and ciphertext", &error),
            Hex("98491e01ac5805fbb1fb55fdae4006971f98b13c"));
}

TEST(PskcCryptoTest, Pbkdf2MatchesKnownAnswers) {
  struct Case {
    QByteArray password;
    QByteArray salt;
    int iterations;
    int length;
    QByteArray key;
  };
  const Case cases[] = {
      // RFC 6070, test vector 3.
      {"password", "salt", 4096, 20, Hex("4b007901b765489abead49d926f721d065a429c1")},
      // python3 -c "import hashlib; print(hashlib.pbkdf2_hmac('sha1', b'correct horse',
      //   bytes.fromhex('00112233445566778899aabbccddeeff'), 100000, 16).hex())"
      {"correct horse", Hex("00112233445566778899aabbccddeeff"), 100000, 16,
       Hex("c8ca382f034af5cb375552aabf51ca68")},
  };
  for (const Case& c : cases) {
    QString error;
    EXPECT_EQ(pskc::Pbkdf2HmacSha1(c.password, c.salt, c.iterations, c.length, &error), c.key)
        << c.password.toStdString();
  }
}

TEST(PskcCryptoTest, BadInputsAreRefused) {
  QString error;
  const QByteArray key(16, 'k');
  const QByteArray iv(16, 'i');
  EXPECT_EQ(pskc::AesCbcEncrypt(QByteArray(15, 'k'), iv, "x", &error), std::nullopt);
  EXPECT_EQ(pskc::AesCbcEncrypt(key, QByteArray(8, 'i'), "x", &error), std::nullopt);
  EXPECT_EQ(pskc::AesCbcDecrypt(key, iv, QByteArray(17, 'c'), &error), std::nullopt);
  EXPECT_EQ(pskc::DecryptIvAndCipher(key, QByteArray(16, 'i'), &error), std::nullopt);
  // Decrypting under another key ends in a bad padding.
  const std::optional<QByteArray> sealed = pskc::EncryptWithRandomIv(key, "twenty bytes of seed", &error);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(pskc::DecryptIvAndCipher(QByteArray(16, 'K'), *sealed, &error), std::nullopt);
}

class PskcProtectionTest : public ::testing::Test {
 protected:
  void TearDown() override { pskc::SetRandomSource({}); }
};

TEST_F(PskcProtectionTest, KeysAreCheckedAndNamed) {
  struct Case {
    const char* hex;
    const char* name;
    bool accepted;
  };
  const Case cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "Pre-shared-key", true},
      {"000102030405060708090A0B0C0D0E0F", "Pre-shared-key", true},
      {"000102030405060708090a0b0c0d0e", "Pre-shared-key", false},
      {"000102030405060708090a0b0c0d0e0f00", "Pre-shared-key", false},
      {"000102030405060708090a0b0c0d0e0g", "Pre-shared-key", false},
      {"000102030405060708090a0b0c0d0e0f", "", false},
  };
  for (const Case& c : cases) {
    QString error;
    const auto protection = pskc::Protection::FromHexKey(c.hex, c.name, &error);
    EXPECT_EQ(protection.has_value(), c.accepted) << c.hex << " " << error.toStdString();
    if (protection) {
      EXPECT_EQ(protection->kind(), pskc::Protection::Kind::PreSharedKey);
      EXPECT_EQ(protection->keyName(), c.name);
    }
  }
}

TEST_F(PskcProtectionTest, EncryptedValuesAndMacKeyDecryptUnderTheKey) {
  QString error;
  const QByteArray key = Hex("000102030405060708090a0b0c0d0e0f");
  const auto protection = pskc::Protection::FromHexKey(key.toHex(), "Pre-shared-key", &error);
  ASSERT_TRUE(protection) << error.toStdString();
  const std::optional<QByteArray> macKey = pskc::DecryptIvAndCipher(key, protection->encryptedMacKey(), &error);
  ASSERT_TRUE(macKey);
  EXPECT_EQ(macKey->size(), pskc::kMacKeyBytes);

  const std::optional<QByteArray> first = protection->Encrypt("seed", &error);
  const std::optional<QByteArray> second = protection->Encrypt("seed", &error);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->left(16), second->left(16)) << "each value has an IV of its own";
  EXPECT_EQ(pskc::DecryptIvAndCipher(key, *first, &error), QByteArray("seed"));
  EXPECT_EQ(protection->Mac(*first, &error), pskc::Hmac(pskc::MacDigest::Sha1, *macKey, *first, &error));
}

TEST_F(PskcProtectionTest, PasswordKeyIsDerivedFromAFreshSalt) {
  QString error;
  const auto a = pskc::Protection::FromPassword("correct horse", "Export password", &error);
  const auto b = pskc::Protection::FromPassword("correct horse", "Export password", &error);
  ASSERT_TRUE(a && b) << error.toStdString();
  EXPECT_EQ(a->kind(), pskc::Protection::Kind::Password);
  EXPECT_EQ(a->salt().size(), pskc::kSaltBytes);
  EXPECT_NE(a->salt(), b->salt());
  EXPECT_EQ(a->iterations(), 100000);
  const std::optional<QByteArray> key = pskc::Pbkdf2HmacSha1("correct horse", a->salt(), 100000, 16, &error);
  ASSERT_TRUE(key);
  EXPECT_TRUE(pskc::DecryptIvAndCipher(*key, a->encryptedMacKey(), &error).has_value());

  EXPECT_FALSE(pskc::Protection::FromPassword("", "Export password", &error));
  EXPECT_FALSE(pskc::Protection::FromPassword("pw", "Export password", &error, 99999));
}

TEST_F(PskcProtectionTest, FailingRandomSourceIsAnError) {
  pskc::SetRandomSource([](unsigned char*, int) { return false; });
  QString error;
  EXPECT_FALSE(pskc::Protection::FromHexKey("000102030405060708090a0b0c0d0e0f", "k", &error));
  EXPECT_EQ(error, "the random source failed");
  EXPECT_FALSE(pskc::Protection::FromPassword("pw", "k", &error));
  EXPECT_FALSE(pskc::EncryptWithRandomIv(QByteArray(16, 'k'), "seed", &error));
}

}  // namespace
