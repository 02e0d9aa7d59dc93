// The reader: files made by python-pskc's csv2pskc (an outside writer) read
// with the values they were made from; refusals, each with its one message,
// and nothing returned from a refused file; recognising PSKC by content.
//
// The fixtures were made from tokens.csv and plain.csv in fixtures/ with
//   csv2pskc -e hex -s 2b7e151628aed2a6abf7158809cf4f3c tokens.csv -o csv2pskc-key.pskcxml
//   csv2pskc -e hex -p 'Orvex test password' tokens.csv -o csv2pskc-password.pskcxml
//   csv2pskc -e hex plain.csv -o csv2pskc-plain.pskcxml
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include "pskc_reader.h"

namespace {

using pskc::Credential;
using pskc::KeyAlgorithm;
using pskc::Suite;

const QByteArray kFixtureKey = QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
const QString kFixturePassword = QStringLiteral("Orvex test password");

QByteArray Fixture(const char* name) {
  QFile file(QStringLiteral(PSKC_FIXTURES "/") + name);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
  return file.readAll();
}

struct Expected {
  const char* serial;
  const char* secretHex;
  Suite algorithm;
  std::optional<int> interval;
  KeyAlgorithm kind;
};

const Expected kCsvTokens[] = {
    {"CSV0001", "3132333435363738393031323334353637383930", Suite::Sha1, 30, KeyAlgorithm::Totp},
    {"CSV0002", "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff", Suite::Sha256, 60,
     KeyAlgorithm::Totp},
};

void ExpectEntries(const pskc::ReadResult& result, const std::vector<Expected>& expected) {
  ASSERT_TRUE(result.error.isEmpty()) << result.error.toStdString();
  ASSERT_EQ(result.entries.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const pskc::ReadEntry& entry = result.entries[i];
    EXPECT_EQ(entry.serial, expected[i].serial);
    EXPECT_EQ(entry.secret.toHex(), expected[i].secretHex);
    EXPECT_EQ(entry.algorithm, expected[i].algorithm);
    EXPECT_EQ(entry.timeInterval, expected[i].interval);
    EXPECT_EQ(entry.keyAlgorithm, expected[i].kind);
  }
}

TEST(PskcReaderTest, FilesOfAnOutsideWriterAreReadWithTheirValues) {
  const std::vector<Expected> tokens(std::begin(kCsvTokens), std::end(kCsvTokens));
  ExpectEntries(pskc::Read(Fixture("csv2pskc-key.pskcxml"), Credential::FromKey(kFixtureKey)), tokens);
  ExpectEntries(pskc::Read(Fixture("csv2pskc-password.pskcxml"), Credential::FromPassword(kFixturePassword)),
                tokens);
  // Unencrypted, the drafts' "#hotp" form, no Suite and no interval.
  ExpectEntries(pskc::Read(Fixture("csv2pskc-plain.pskcxml"), Credential{}),
                {{"CSV0003", "3132333435363738393031323334353637383930", Suite::Unknown, std::nullopt,
                  KeyAlgorithm::Hotp}});
}

// One byte of the n-th (0-based) element's base64 text changed, the text
// still valid base64.
QByteArray AlterBase64(QByteArray document, const char* element, int n) {
  const QRegularExpression pattern(QStringLiteral("<[a-z]+:%1>([^<]+)<").arg(element));
  auto matches = pattern.globalMatch(QString::fromUtf8(document));
  QRegularExpressionMatch match;
  for (int i = 0; i <= n; ++i) match = matches.next();
  QByteArray bytes = QByteArray::fromBase64(match.captured(1).toLatin1());
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
  return document.replace(match.captured(1).toLatin1(), bytes.toBase64());
}

TEST(PskcReaderTest, RefusedFilesGiveOneMessageAndNothingElse) {
  const QByteArray byKey = Fixture("csv2pskc-key.pskcxml");
  const QByteArray byPassword = Fixture("csv2pskc-password.pskcxml");
  const Credential key = Credential::FromKey(kFixtureKey);
  const Credential password = Credential::FromPassword(kFixturePassword);
  const QString macOfSecond = QStringLiteral(
      "the MAC of KeyPackage 2 (serial CSV0002) does not match: wrong key or password, or the file was altered");
  QByteArray unknownAlgorithm = byKey;
  unknownAlgorithm.replace("urn:ietf:params:xml:ns:keyprov:pskc:totp", "http://www.yubico.com/#yubikey-aes");
  QByteArray noSecret = Fixture("csv2pskc-plain.pskcxml");
  noSecret.replace("<pskc:PlainValue>MTIzNDU2Nzg5MDEyMzQ1Njc4OTA=</pskc:PlainValue>", "");

  struct Case {
    const char* what;
    QByteArray document;
    Credential credential;
    QString message;  // the whole message, or its start followed by "..."
  };
  const Case cases[] = {
      {"altered CipherValue", AlterBase64(byKey, "CipherValue", 2), key, macOfSecond},
      {"altered ValueMAC", AlterBase64(byKey, "ValueMAC", 1), key, macOfSecond},
      {"altered CipherValue, password file", AlterBase64(byPassword, "CipherValue", 2), password, macOfSecond},
      {"wrong password", byPassword, Credential::FromPassword("Orvex test passwort"), "...wrong key or password"},
      {"wrong key", byKey, Credential::FromKey(QByteArray(16, 'k')), "...wrong key or password"},
      {"password for a key file", byKey, password, "the file is encrypted with a pre-shared key, not a password"},
      {"key for a password file", byPassword, key, "the file is encrypted with a password, not a pre-shared key"},
      {"no password", byPassword, Credential{}, "the file is encrypted with a password; give the password"},
      {"not TOTP or HOTP", unknownAlgorithm, key,
       "KeyPackage 1 (serial CSV0001): the key's algorithm \"http://www.yubico.com/#yubikey-aes\" is neither TOTP "
       "nor HOTP"},
      {"no secret", noSecret, Credential{}, "KeyPackage 1 (serial CSV0003): no readable secret"},
      {"not XML", "serial,secret\n", Credential{}, "...not well-formed XML"},
      {"not PSKC", "<KeyContainer/>", Credential{}, "not a PSKC document (no KeyContainer root)"},
  };
  for (const Case& c : cases) {
    const pskc::ReadResult result = pskc::Read(c.document, c.credential);
    if (c.message.startsWith("...")) {
      EXPECT_TRUE(result.error.contains(c.message.mid(3))) << c.what << ": " << result.error.toStdString();
    } else {
      EXPECT_EQ(result.error, c.message) << c.what;
    }
    EXPECT_TRUE(result.entries.empty()) << c.what;
  }
}

TEST(PskcReaderTest, PskcIsRecognisedByContent) {
  const struct {
    const char* what;
    QByteArray bytes;
    bool pskc;
  } cases[] = {
      {"csv2pskc file", Fixture("csv2pskc-key.pskcxml"), true},
      {"default namespace", "<?xml version=\"1.0\"?>\n<KeyContainer xmlns=\"urn:ietf:params:xml:ns:keyprov:pskc\"/>",
       true},
      {"byte-order mark", "\xEF\xBB\xBF<KeyContainer xmlns=\"urn:ietf:params:xml:ns:keyprov:pskc\"/>", true},
      {"other namespace", "<KeyContainer xmlns=\"urn:example\"/>", false},
      {"other root", "<Keys xmlns=\"urn:ietf:params:xml:ns:keyprov:pskc\"/>", false},
      {"seed file", "ZZ0001,JBSWY3DPEHPK3PXP\n", false},
      {"empty", "", false},
  };
  for (const auto& c : cases) EXPECT_EQ(pskc::LooksLikePskc(c.bytes), c.pskc) << c.what;
}

}  // namespace
