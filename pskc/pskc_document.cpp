// Writes the PSKC KeyContainer with QXmlStreamWriter, elements in the order
// of RFC 6030's schema.
#include "pskc_document.h"

#include <QXmlStreamWriter>

namespace pskc {
namespace {

const QString kPskc = QString::fromLatin1(kPskcNamespace);
const QString kDs = QString::fromLatin1(kDsNamespace);
const QString kXenc = QString::fromLatin1(kXencNamespace);
const QString kXenc11 = QString::fromLatin1(kXenc11Namespace);
const QString kPkcs5 = QString::fromLatin1(kPkcs5Namespace);

QString Base64(const QByteArray& bytes) { return QString::fromLatin1(bytes.toBase64()); }

void WriteEncryptedValue(QXmlStreamWriter& xml, const QByteArray& ivAndCipher) {
  xml.writeEmptyElement(kXenc, "EncryptionMethod");
  xml.writeAttribute("Algorithm", kAes128CbcUri);
  xml.writeStartElement(kXenc, "CipherData");
  xml.writeTextElement(kXenc, "CipherValue", Base64(ivAndCipher));
  xml.writeEndElement();
}

void WriteEncryptionKey(QXmlStreamWriter& xml, const Protection& protection) {
  xml.writeStartElement(kPskc, "EncryptionKey");
  if (protection.kind() == Protection::Kind::PreSharedKey) {
    xml.writeTextElement(kDs, "KeyName", protection.keyName());
  } else {
    xml.writeStartElement(kXenc11, "DerivedKey");
    xml.writeStartElement(kXenc11, "KeyDerivationMethod");
    xml.writeAttribute("Algorithm", kPbkdf2Uri);
    xml.writeStartElement(kPkcs5, "PBKDF2-params");
    // The parameters' own elements stand in no namespace, as in RFC 6030's
    // example of a derived key.
    xml.writeStartElement("Salt");
    xml.writeTextElement("Specified", Base64(protection.salt()));
    xml.writeEndElement();
    xml.writeTextElement("IterationCount", QString::number(protection.iterations()));
    xml.writeTextElement("KeyLength", QString::number(kKeyBytes));
    xml.writeEmptyElement("PRF");
    xml.writeAttribute("Algorithm", QString::fromLatin1(kPkcs5Namespace) + "hmac-sha1");
    xml.writeEndElement();  // PBKDF2-params
    xml.writeEndElement();  // KeyDerivationMethod
    xml.writeTextElement(kXenc11, "MasterKeyName", protection.keyName());
    xml.writeEndElement();  // DerivedKey
  }
  xml.writeEndElement();
}

void WriteKeyPackage(QXmlStreamWriter& xml, const SealedEntry& entry) {
  const TokenEntry& token = entry.token;
  xml.writeStartElement(kPskc, "KeyPackage");
  xml.writeStartElement(kPskc, "DeviceInfo");
  xml.writeTextElement(kPskc, "Manufacturer", token.manufacturer);
  xml.writeTextElement(kPskc, "SerialNo", token.serial);
  xml.writeTextElement(kPskc, "Model", token.model);
  xml.writeEndElement();

  xml.writeStartElement(kPskc, "Key");
  xml.writeAttribute("Id", token.serial);
  xml.writeAttribute("Algorithm", kTotpUri);
  xml.writeStartElement(kPskc, "AlgorithmParameters");
  xml.writeTextElement(kPskc, "Suite", token.algorithm == Suite::Sha256 ? "SHA256" : "SHA1");
  xml.writeEmptyElement(kPskc, "ResponseFormat");
  xml.writeAttribute("Length", QString::number(token.digits));
  xml.writeAttribute("Encoding", "DECIMAL");
  xml.writeEndElement();

  xml.writeStartElement(kPskc, "Data");
  xml.writeStartElement(kPskc, "Secret");
  xml.writeStartElement(kPskc, "EncryptedValue");
  WriteEncryptedValue(xml, entry.encryptedSecret);
  xml.writeEndElement();
  xml.writeTextElement(kPskc, "ValueMAC", Base64(entry.valueMac));
  xml.writeEndElement();  // Secret
  // No Time element: the tokens count from the Unix epoch, which is what an
  // importer assumes when it is missing.
  xml.writeStartElement(kPskc, "TimeInterval");
  xml.writeTextElement(kPskc, "PlainValue", QString::number(token.timeInterval));
  xml.writeEndElement();
  xml.writeEndElement();  // Data
  xml.writeEndElement();  // Key
  xml.writeEndElement();  // KeyPackage
}

}  // namespace

std::optional<SealedEntry> Seal(const TokenEntry& entry, const Protection& protection, QString* error) {
  const QString who = QStringLiteral("token %1: ").arg(entry.serial);
  if (entry.serial.isEmpty()) {
    *error = QStringLiteral("a token without a serial number");
    return std::nullopt;
  }
  if (entry.secret.isEmpty()) {
    *error = who + QStringLiteral("the secret is empty");
    return std::nullopt;
  }
  if (entry.algorithm != Suite::Sha1 && entry.algorithm != Suite::Sha256) {
    *error = who + QStringLiteral("the algorithm is neither SHA1 nor SHA256");
    return std::nullopt;
  }
  if (entry.timeInterval != 30 && entry.timeInterval != 60) {
    *error = who + QStringLiteral("the time interval is %1, not 30 or 60").arg(entry.timeInterval);
    return std::nullopt;
  }
  if (entry.digits != 6) {
    *error = who + QStringLiteral("%1 digits, not 6").arg(entry.digits);
    return std::nullopt;
  }
  SealedEntry sealed;
  sealed.token = entry;
  sealed.token.secret.clear();
  std::optional<QByteArray> encrypted = protection.Encrypt(entry.secret, error);
  if (!encrypted) return std::nullopt;
  std::optional<QByteArray> mac = protection.Mac(*encrypted, error);
  if (!mac) return std::nullopt;
  sealed.encryptedSecret = *encrypted;
  sealed.valueMac = *mac;
  return sealed;
}

QByteArray WriteDocument(const std::vector<SealedEntry>& entries, const Protection& protection) {
  QByteArray document;
  QXmlStreamWriter xml(&document);
  xml.setAutoFormatting(true);
  xml.setAutoFormattingIndent(1);
  xml.writeStartDocument();
  xml.writeNamespace(kPskc, "pskc");
  xml.writeNamespace(kDs, "ds");
  xml.writeNamespace(kXenc, "xenc");
  if (protection.kind() == Protection::Kind::Password) {
    xml.writeNamespace(kXenc11, "xenc11");
    xml.writeNamespace(kPkcs5, "pkcs5");
  }
  xml.writeStartElement(kPskc, "KeyContainer");
  xml.writeAttribute("Version", "1.0");
  WriteEncryptionKey(xml, protection);
  xml.writeStartElement(kPskc, "MACMethod");
  xml.writeAttribute("Algorithm", kHmacSha1Uri);
  xml.writeStartElement(kPskc, "MACKey");
  WriteEncryptedValue(xml, protection.encryptedMacKey());
  xml.writeEndElement();
  xml.writeEndElement();
  for (const SealedEntry& entry : entries) WriteKeyPackage(xml, entry);
  xml.writeEndElement();
  xml.writeEndDocument();
  return document;
}

std::optional<QByteArray> BuildDocument(const std::vector<TokenEntry>& entries, const Protection& protection,
                                        QString* error) {
  std::vector<SealedEntry> sealed;
  sealed.reserve(entries.size());
  for (const TokenEntry& entry : entries) {
    std::optional<SealedEntry> one = Seal(entry, protection, error);
    if (!one) return std::nullopt;
    sealed.push_back(std::move(*one));
  }
  return WriteDocument(sealed, protection);
}

}  // namespace pskc
