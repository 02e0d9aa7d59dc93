// Reads a PSKC document into a small element tree (QXmlStreamReader), finds
// the key, checks every KeyPackage's MAC, and only then decrypts the secrets.
#include "pskc_reader.h"

#include <openssl/crypto.h>

#include <QXmlStreamReader>
#include <memory>

namespace pskc {
namespace {

struct Node {
  QString ns;
  QString name;
  QXmlStreamAttributes attributes;
  QString text;
  std::vector<std::unique_ptr<Node>> children;

  // The first child of that name, in that namespace (any namespace for an
  // empty one: PBKDF2's parameters stand in no namespace or in xenc11's).
  const Node* Child(QStringView childName, const char* childNs = kPskcNamespace) const {
    for (const auto& child : children) {
      if (child->name == childName && (!childNs[0] || child->ns == QLatin1String(childNs))) return child.get();
    }
    return nullptr;
  }
  std::vector<const Node*> Children(QStringView childName) const {
    std::vector<const Node*> found;
    for (const auto& child : children) {
      if (child->name == childName && child->ns == QLatin1String(kPskcNamespace)) found.push_back(child.get());
    }
    return found;
  }
  QString Attribute(QStringView attribute) const { return attributes.value(attribute.toString()).toString(); }
  QString Text() const { return text.trimmed(); }
};

std::unique_ptr<Node> Parse(const QByteArray& bytes, QString* error) {
  QXmlStreamReader xml(bytes);
  std::unique_ptr<Node> root;
  std::vector<Node*> open;
  while (!xml.atEnd()) {
    switch (xml.readNext()) {
      case QXmlStreamReader::StartElement: {
        auto node = std::make_unique<Node>();
        node->ns = xml.namespaceUri().toString();
        node->name = xml.name().toString();
        node->attributes = xml.attributes();
        Node* raw = node.get();
        if (open.empty()) {
          root = std::move(node);
        } else {
          open.back()->children.push_back(std::move(node));
        }
        open.push_back(raw);
        break;
      }
      case QXmlStreamReader::Characters:
        if (!open.empty()) open.back()->text += xml.text();
        break;
      case QXmlStreamReader::EndElement:
        open.pop_back();
        break;
      default:
        break;
    }
  }
  if (xml.hasError()) {
    *error = QStringLiteral("not well-formed XML (line %1: %2)").arg(xml.lineNumber()).arg(xml.errorString());
    return nullptr;
  }
  return root;
}

bool IsKeyContainer(const Node* root) {
  return root && root->name == u"KeyContainer" && root->ns == QLatin1String(kPskcNamespace);
}

std::optional<QByteArray> Base64(const QString& text) {
  const auto decoded = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return std::nullopt;
  return *decoded;
}

// The key that opens the file's encrypted values, or the reason it cannot be had.
std::optional<QByteArray> FileKey(const Node* container, const Credential& credential, QString* error) {
  const Node* encryptionKey = container->Child(u"EncryptionKey");
  const Node* derived = encryptionKey ? encryptionKey->Child(u"DerivedKey", kXenc11Namespace) : nullptr;
  const Node* keyName = encryptionKey ? encryptionKey->Child(u"KeyName", kDsNamespace) : nullptr;
  if (!derived) {
    const QString named = keyName ? QStringLiteral(" (\"%1\")").arg(keyName->Text()) : QString();
    if (credential.kind == Credential::Kind::PreSharedKey) {
      if (credential.key.size() == 16 || credential.key.size() == 24 || credential.key.size() == 32) return credential.key;
      *error = QStringLiteral("the pre-shared key has %1 bytes, not 16, 24 or 32").arg(credential.key.size());
    } else if (credential.kind == Credential::Kind::Password) {
      *error = QStringLiteral("the file is encrypted with a pre-shared key%1, not a password").arg(named);
    } else {
      *error = QStringLiteral("the file is encrypted with a pre-shared key%1; give the key").arg(named);
    }
    return std::nullopt;
  }
  const Node* masterName = derived->Child(u"MasterKeyName", kXenc11Namespace);
  const QString named = masterName ? QStringLiteral(" (\"%1\")").arg(masterName->Text()) : QString();
  if (credential.kind != Credential::Kind::Password) {
    *error = credential.kind == Credential::Kind::PreSharedKey
                 ? QStringLiteral("the file is encrypted with a password%1, not a pre-shared key").arg(named)
                 : QStringLiteral("the file is encrypted with a password%1; give the password").arg(named);
    return std::nullopt;
  }
  const Node* method = derived->Child(u"KeyDerivationMethod", kXenc11Namespace);
  if (!method || method->Attribute(u"Algorithm") != QLatin1String(kPbkdf2Uri)) {
    *error = QStringLiteral("the file's key is derived by %1, not PBKDF2")
                 .arg(method ? method->Attribute(u"Algorithm") : QStringLiteral("no method"));
    return std::nullopt;
  }
  const Node* params = method->Child(u"PBKDF2-params", "");
  const Node* salt = params ? params->Child(u"Salt", "") : nullptr;
  const Node* specified = salt ? salt->Child(u"Specified", "") : nullptr;
  const Node* iterations = params ? params->Child(u"IterationCount", "") : nullptr;
  const Node* keyLength = params ? params->Child(u"KeyLength", "") : nullptr;
  const Node* prf = params ? params->Child(u"PRF", "") : nullptr;
  const std::optional<QByteArray> saltBytes = specified ? Base64(specified->Text()) : std::nullopt;
  bool iterationsOk = false;
  const int iterationCount = iterations ? iterations->Text().toInt(&iterationsOk) : 0;
  bool lengthOk = true;
  const int length = keyLength ? keyLength->Text().toInt(&lengthOk) : kKeyBytes;
  if (!saltBytes || !iterationsOk || !lengthOk || (length != 16 && length != 24 && length != 32)) {
    *error = QStringLiteral("the file's PBKDF2 parameters (salt, iteration count, key length) are not readable");
    return std::nullopt;
  }
  const QString prfAlgorithm = prf ? prf->Attribute(u"Algorithm") : QString();
  if (!prfAlgorithm.isEmpty() && !prfAlgorithm.endsWith(QLatin1String("hmac-sha1"))) {
    *error = QStringLiteral("the file's PBKDF2 uses %1, not HMAC-SHA1").arg(prfAlgorithm);
    return std::nullopt;
  }
  return Pbkdf2HmacSha1(credential.password.toUtf8(), *saltBytes, iterationCount, length, error);
}

// IV and ciphertext of an EncryptedValue (or MACKey), checked for AES-CBC.
std::optional<QByteArray> CipherValue(const Node* encrypted, QString* error) {
  const Node* method = encrypted->Child(u"EncryptionMethod", kXencNamespace);
  const QString algorithm = method ? method->Attribute(u"Algorithm") : QString();
  if (algorithm != QLatin1String(kAes128CbcUri) && algorithm != QLatin1String(kAes192CbcUri) &&
      algorithm != QLatin1String(kAes256CbcUri)) {
    *error = QStringLiteral("encrypted with %1, not AES-CBC").arg(algorithm.isEmpty() ? "no method" : algorithm);
    return std::nullopt;
  }
  const Node* data = encrypted->Child(u"CipherData", kXencNamespace);
  const Node* value = data ? data->Child(u"CipherValue", kXencNamespace) : nullptr;
  const std::optional<QByteArray> bytes = value ? Base64(value->Text()) : std::nullopt;
  if (!bytes) *error = QStringLiteral("its CipherValue is not readable");
  return bytes;
}

struct MacCheck {
  MacDigest digest = MacDigest::Sha1;
  QByteArray key;
};

std::optional<MacCheck> FileMac(const Node* container, const QByteArray& fileKey, QString* error) {
  const Node* method = container->Child(u"MACMethod");
  MacCheck mac;
  if (method) {
    const QString algorithm = method->Attribute(u"Algorithm");
    if (algorithm == QLatin1String(kHmacSha256Uri)) {
      mac.digest = MacDigest::Sha256;
    } else if (algorithm != QLatin1String(kHmacSha1Uri)) {
      *error = QStringLiteral("the file's MAC method %1 is neither HMAC-SHA1 nor HMAC-SHA256").arg(algorithm);
      return std::nullopt;
    }
  }
  const Node* macKey = method ? method->Child(u"MACKey") : nullptr;
  if (!macKey) {
    // Files of the drafts before RFC 6030 MAC with the encryption key itself.
    mac.key = fileKey;
    return mac;
  }
  QString why;
  const std::optional<QByteArray> sealed = CipherValue(macKey, &why);
  const std::optional<QByteArray> key = sealed ? DecryptIvAndCipher(fileKey, *sealed, &why) : std::nullopt;
  if (!key) {
    *error = QStringLiteral("the file's MAC key cannot be decrypted: wrong key or password, or the file was altered");
    return std::nullopt;
  }
  mac.key = *key;
  return mac;
}

QString SerialOf(const Node* package) {
  const Node* device = package->Child(u"DeviceInfo");
  const Node* serial = device ? device->Child(u"SerialNo") : nullptr;
  if (serial && !serial->Text().isEmpty()) return serial->Text();
  const Node* key = package->Child(u"Key");
  return key ? key->Attribute(u"Id") : QString();
}

const Node* SecretOf(const Node* package) {
  const Node* key = package->Child(u"Key");
  const Node* data = key ? key->Child(u"Data") : nullptr;
  return data ? data->Child(u"Secret") : nullptr;
}

std::optional<KeyAlgorithm> KeyAlgorithmOf(const QString& uri) {
  // The colon forms of RFC 6030's registry, and the "#" forms of its drafts.
  static const QString kTotpDraft = QStringLiteral("urn:ietf:params:xml:ns:keyprov:pskc#totp");
  static const QString kHotpDraft = QStringLiteral("urn:ietf:params:xml:ns:keyprov:pskc#hotp");
  if (uri == QLatin1String(kTotpUri) || uri == kTotpDraft) return KeyAlgorithm::Totp;
  if (uri == QLatin1String(kHotpUri) || uri == kHotpDraft) return KeyAlgorithm::Hotp;
  return std::nullopt;
}

}  // namespace

bool LooksLikePskc(const QByteArray& bytes) {
  QXmlStreamReader xml(bytes);
  while (!xml.atEnd()) {
    if (xml.readNext() == QXmlStreamReader::StartElement) {
      return xml.name() == u"KeyContainer" && xml.namespaceUri() == QLatin1String(kPskcNamespace);
    }
  }
  return false;
}

ReadResult Read(const QByteArray& bytes, const Credential& credential) {
  ReadResult result;
  const auto refuse = [&](const QString& message) {
    result.entries.clear();
    result.error = message;
    return result;
  };
  QString error;
  const std::unique_ptr<Node> root = Parse(bytes, &error);
  if (!root) return refuse(error);
  if (!IsKeyContainer(root.get())) return refuse(QStringLiteral("not a PSKC document (no KeyContainer root)"));
  const std::vector<const Node*> packages = root->Children(u"KeyPackage");
  if (packages.empty()) return refuse(QStringLiteral("the file holds no KeyPackage"));

  const auto about = [&](std::size_t index) {
    return QStringLiteral("KeyPackage %1 (serial %2)").arg(index + 1).arg(SerialOf(packages[index]));
  };
  bool encrypted = false;
  for (const Node* package : packages) {
    const Node* secret = SecretOf(package);
    encrypted = encrypted || (secret && secret->Child(u"EncryptedValue"));
  }
  QByteArray fileKey;
  MacCheck mac;
  if (encrypted) {
    std::optional<QByteArray> key = FileKey(root.get(), credential, &error);
    if (!key) return refuse(error);
    fileKey = *key;
    Wipe(&*key);
    std::optional<MacCheck> check = FileMac(root.get(), fileKey, &error);
    if (!check) return refuse(error);
    mac = *check;
  }

  // Every MAC first: a file that fails one gives nothing at all.
  for (std::size_t i = 0; i < packages.size(); ++i) {
    const Node* secret = SecretOf(packages[i]);
    const Node* value = secret ? secret->Child(u"EncryptedValue") : nullptr;
    if (!value) continue;
    const std::optional<QByteArray> sealed = CipherValue(value, &error);
    if (!sealed) return refuse(about(i) + ": the secret is " + error);
    const Node* valueMac = secret->Child(u"ValueMAC");
    const std::optional<QByteArray> given = valueMac ? Base64(valueMac->Text()) : std::nullopt;
    if (!given) return refuse(about(i) + QStringLiteral(": the encrypted secret has no readable ValueMAC"));
    const std::optional<QByteArray> computed = Hmac(mac.digest, mac.key, *sealed, &error);
    if (!computed) return refuse(error);
    if (computed->size() != given->size() ||
        CRYPTO_memcmp(computed->constData(), given->constData(), static_cast<std::size_t>(given->size())) != 0) {
      return refuse(QStringLiteral("the MAC of %1 does not match: wrong key or password, or the file was altered")
                        .arg(about(i)));
    }
  }

  for (std::size_t i = 0; i < packages.size(); ++i) {
    const Node* key = packages[i]->Child(u"Key");
    ReadEntry entry;
    entry.serial = SerialOf(packages[i]);
    const QString algorithm = key ? key->Attribute(u"Algorithm") : QString();
    const std::optional<KeyAlgorithm> kind = KeyAlgorithmOf(algorithm);
    if (!kind) {
      return refuse(about(i) + QStringLiteral(": the key's algorithm \"%1\" is neither TOTP nor HOTP").arg(algorithm));
    }
    entry.keyAlgorithm = *kind;

    const Node* parameters = key->Child(u"AlgorithmParameters");
    const Node* suite = parameters ? parameters->Child(u"Suite") : nullptr;
    if (suite) {
      const QString text = suite->Text().toUpper().remove(QLatin1String("HMAC-")).remove('-');
      if (text == u"SHA1") {
        entry.algorithm = Suite::Sha1;
      } else if (text == u"SHA256") {
        entry.algorithm = Suite::Sha256;
      } else {
        return refuse(about(i) + QStringLiteral(": the Suite \"%1\" is neither SHA1 nor SHA256").arg(suite->Text()));
      }
    }

    const Node* data = key->Child(u"Data");
    const Node* interval = data ? data->Child(u"TimeInterval") : nullptr;
    const Node* intervalValue = interval ? interval->Child(u"PlainValue") : nullptr;
    if (intervalValue) {
      bool ok = false;
      const int seconds = intervalValue->Text().toInt(&ok);
      if (!ok || seconds <= 0) {
        return refuse(about(i) + QStringLiteral(": the time interval \"%1\" is not a number of seconds")
                                     .arg(intervalValue->Text()));
      }
      entry.timeInterval = seconds;
    }

    const Node* secret = SecretOf(packages[i]);
    const Node* plain = secret ? secret->Child(u"PlainValue") : nullptr;
    const Node* sealed = secret ? secret->Child(u"EncryptedValue") : nullptr;
    std::optional<QByteArray> secretBytes;
    if (sealed) {
      const std::optional<QByteArray> ivAndCipher = CipherValue(sealed, &error);
      secretBytes = ivAndCipher ? DecryptIvAndCipher(fileKey, *ivAndCipher, &error) : std::nullopt;
    } else if (plain) {
      secretBytes = Base64(plain->Text());
    }
    if (!secretBytes || secretBytes->isEmpty()) {
      return refuse(about(i) + QStringLiteral(": no readable secret"));
    }
    entry.secret = *secretBytes;
    Wipe(&*secretBytes);
    result.entries.push_back(entry);
  }
  Wipe(&fileKey);
  Wipe(&mac.key);
  return result;
}

}  // namespace pskc
