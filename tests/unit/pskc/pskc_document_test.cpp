// The document's shape: what privacyIDEA, LinOTP and FreeIPA need of each
// element, for a pre-shared key and for a password, as a table; entries the
// shape cannot carry.
#include <gtest/gtest.h>

#include <QHash>
#include <QXmlStreamReader>

#include "pskc_document.h"

namespace {

// Every element as "prefix:Name/prefix:Name..." from the root, with its
// attributes and text; prefixes are fixed here by namespace, whatever the
// document chose.
struct Element {
  QString path;
  QHash<QString, QString> attributes;
  QString text;
};

std::vector<Element> Flatten(const QByteArray& document) {
  static const QHash<QString, QString> prefixes = {
      {pskc::kPskcNamespace, "pskc"},   {pskc::kDsNamespace, "ds"},       {pskc::kXencNamespace, "xenc"},
      {pskc::kXenc11Namespace, "xenc11"}, {pskc::kPkcs5Namespace, "pkcs5"}, {"", ""},
  };
  std::vector<Element> elements;
  QStringList stack;
  std::vector<std::size_t> open;
  QXmlStreamReader xml(document);
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      const QString ns = xml.namespaceUri().toString();
      const QString prefix = prefixes.value(ns, "?" + ns);
      stack << (prefix.isEmpty() ? "" : prefix + ":") + xml.name().toString();
      Element element{stack.join('/'), {}, {}};
      for (const QXmlStreamAttribute& a : xml.attributes()) element.attributes[a.name().toString()] = a.value().toString();
      open.push_back(elements.size());
      elements.push_back(element);
    } else if (xml.isCharacters() && !xml.isWhitespace()) {
      elements[open.back()].text += xml.text().toString();
    } else if (xml.isEndElement()) {
      stack.removeLast();
      open.pop_back();
    }
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  return elements;
}

std::vector<pskc::TokenEntry> TwoTokens() {
  pskc::TokenEntry a{"ZZ0001", QByteArray(20, 'a'), pskc::Suite::Sha1, 30, 6, "Orvex", "ZZ-6"};
  pskc::TokenEntry b{"ZZ0002", QByteArray(32, 'b'), pskc::Suite::Sha256, 60, 6, "Orvex", "ZZ-6"};
  return {a, b};
}

enum class Protected { ByKey, ByPassword, Either };

struct ShapeCase {
  const char* rule;
  Protected protection;
  const char* path;  // from KeyContainer
  const char* attribute;  // nullptr: the text
  // The value each match must have (in document order: the two tokens'
  // values joined by "|" where they differ); nullptr: no such element.
  const char* expected;
};

const ShapeCase kShapeCases[] = {
    {"container version", Protected::Either, "", "Version", "1.0"},
    {"TOTP algorithm in colon form", Protected::Either, "/pskc:KeyPackage/pskc:Key", "Algorithm",
     "urn:ietf:params:xml:ns:keyprov:pskc:totp"},
    {"Key Id is the serial", Protected::Either, "/pskc:KeyPackage/pskc:Key", "Id", "ZZ0001|ZZ0002"},
    {"serial in DeviceInfo", Protected::Either, "/pskc:KeyPackage/pskc:DeviceInfo/pskc:SerialNo", nullptr,
     "ZZ0001|ZZ0002"},
    {"manufacturer", Protected::Either, "/pskc:KeyPackage/pskc:DeviceInfo/pskc:Manufacturer", nullptr, "Orvex"},
    {"model", Protected::Either, "/pskc:KeyPackage/pskc:DeviceInfo/pskc:Model", nullptr, "ZZ-6"},
    {"Suite text", Protected::Either, "/pskc:KeyPackage/pskc:Key/pskc:AlgorithmParameters/pskc:Suite", nullptr,
     "SHA1|SHA256"},
    {"six digits", Protected::Either, "/pskc:KeyPackage/pskc:Key/pskc:AlgorithmParameters/pskc:ResponseFormat",
     "Length", "6"},
    {"decimal digits", Protected::Either,
     "/pskc:KeyPackage/pskc:Key/pskc:AlgorithmParameters/pskc:ResponseFormat", "Encoding", "DECIMAL"},
    {"interval as a plain value", Protected::Either,
     "/pskc:KeyPackage/pskc:Key/pskc:Data/pskc:TimeInterval/pskc:PlainValue", nullptr, "30|60"},
    {"no Time element", Protected::Either, "/pskc:KeyPackage/pskc:Key/pskc:Data/pskc:Time", nullptr, nullptr},
    {"no plain secret", Protected::Either, "/pskc:KeyPackage/pskc:Key/pskc:Data/pskc:Secret/pskc:PlainValue",
     nullptr, nullptr},
    {"secret encrypted with AES-128-CBC", Protected::Either,
     "/pskc:KeyPackage/pskc:Key/pskc:Data/pskc:Secret/pskc:EncryptedValue/xenc:EncryptionMethod", "Algorithm",
     "http://www.w3.org/2001/04/xmlenc#aes128-cbc"},
    {"MAC method", Protected::Either, "/pskc:MACMethod", "Algorithm", "http://www.w3.org/2000/09/xmldsig#hmac-sha1"},
    {"MAC key encrypted", Protected::Either, "/pskc:MACMethod/pskc:MACKey/xenc:EncryptionMethod", "Algorithm",
     "http://www.w3.org/2001/04/xmlenc#aes128-cbc"},
    {"key named", Protected::ByKey, "/pskc:EncryptionKey/ds:KeyName", nullptr, "Pre-shared-key"},
    {"no derived key with a pre-shared key", Protected::ByKey, "/pskc:EncryptionKey/xenc11:DerivedKey", nullptr,
     nullptr},
    {"no KeyName with a password", Protected::ByPassword, "/pskc:EncryptionKey/ds:KeyName", nullptr, nullptr},
    {"PBKDF2", Protected::ByPassword, "/pskc:EncryptionKey/xenc11:DerivedKey/xenc11:KeyDerivationMethod",
     "Algorithm", "http://www.rsasecurity.com/rsalabs/pkcs/schemas/pkcs-5v2-0#pbkdf2"},
    {"iterations", Protected::ByPassword,
     "/pskc:EncryptionKey/xenc11:DerivedKey/xenc11:KeyDerivationMethod/pkcs5:PBKDF2-params/IterationCount",
     nullptr, "100000"},
    {"key length", Protected::ByPassword,
     "/pskc:EncryptionKey/xenc11:DerivedKey/xenc11:KeyDerivationMethod/pkcs5:PBKDF2-params/KeyLength", nullptr,
     "16"},
    {"PRF", Protected::ByPassword,
     "/pskc:EncryptionKey/xenc11:DerivedKey/xenc11:KeyDerivationMethod/pkcs5:PBKDF2-params/PRF", "Algorithm",
     "http://www.rsasecurity.com/rsalabs/pkcs/schemas/pkcs-5v2-0#hmac-sha1"},
    {"password named", Protected::ByPassword, "/pskc:EncryptionKey/xenc11:DerivedKey/xenc11:MasterKeyName", nullptr,
     "Export password"},
};

TEST(PskcDocumentTest, ShapeRules) {
  QString error;
  const auto byKey = pskc::Protection::FromHexKey("000102030405060708090a0b0c0d0e0f", "Pre-shared-key", &error);
  const auto byPassword = pskc::Protection::FromPassword("correct horse", "Export password", &error);
  ASSERT_TRUE(byKey && byPassword) << error.toStdString();
  for (const Protected kind : {Protected::ByKey, Protected::ByPassword}) {
    const auto document = pskc::BuildDocument(TwoTokens(), kind == Protected::ByKey ? *byKey : *byPassword, &error);
    ASSERT_TRUE(document) << error.toStdString();
    const std::vector<Element> elements = Flatten(*document);
    for (const ShapeCase& c : kShapeCases) {
      if (c.protection != Protected::Either && c.protection != kind) continue;
      const QString path = QStringLiteral("pskc:KeyContainer") + c.path;
      QStringList values;
      for (const Element& e : elements) {
        if (e.path == path) values << (c.attribute ? e.attributes.value(c.attribute, "(none)") : e.text);
      }
      values.removeDuplicates();
      const std::string where = std::string(c.rule) + (kind == Protected::ByKey ? " (key)" : " (password)");
      if (!c.expected) {
        EXPECT_TRUE(values.isEmpty()) << where;
      } else {
        EXPECT_EQ(values.join('|').toStdString(), c.expected) << where;
      }
    }
  }
}

TEST(PskcDocumentTest, SaltIsTheProtections) {
  QString error;
  const auto protection = pskc::Protection::FromPassword("correct horse", "Export password", &error);
  ASSERT_TRUE(protection);
  const auto document = pskc::BuildDocument(TwoTokens(), *protection, &error);
  ASSERT_TRUE(document);
  QStringList salts;
  for (const Element& e : Flatten(*document)) {
    if (e.path.endsWith("pkcs5:PBKDF2-params/Salt/Specified")) salts << e.text;
  }
  EXPECT_EQ(salts, QStringList{QString::fromLatin1(protection->salt().toBase64())});
}

TEST(PskcDocumentTest, EntriesTheShapeCannotCarryAreRefused) {
  QString error;
  const auto protection = pskc::Protection::FromHexKey("000102030405060708090a0b0c0d0e0f", "k", &error);
  ASSERT_TRUE(protection);
  const pskc::TokenEntry good = TwoTokens()[0];
  struct Case {
    const char* what;
    pskc::TokenEntry entry;
  };
  std::vector<Case> cases = {{"empty serial", good}, {"empty secret", good}, {"interval 45", good},
                             {"8 digits", good},     {"unknown algorithm", good}};
  cases[0].entry.serial.clear();
  cases[1].entry.secret.clear();
  cases[2].entry.timeInterval = 45;
  cases[3].entry.digits = 8;
  cases[4].entry.algorithm = pskc::Suite::Unknown;
  for (const Case& c : cases) {
    error.clear();
    EXPECT_FALSE(pskc::Seal(c.entry, *protection, &error)) << c.what;
    EXPECT_FALSE(error.isEmpty()) << c.what;
  }
  EXPECT_TRUE(pskc::Seal(good, *protection, &error));
}

}  // namespace
