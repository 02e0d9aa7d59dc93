// PSKC export: one protection and one durable document a set.
#include "pskc_export.h"

#include "pskc_file.h"

namespace station {
namespace {

pskc::TokenEntry EntryOf(const BurnRecord& record) {
  pskc::TokenEntry entry;
  entry.serial = record.serialNumber;
  entry.secret = QByteArray(reinterpret_cast<const char*>(record.secretBytes.data()),
                            static_cast<qsizetype>(record.secretBytes.size()));
  entry.algorithm = record.choices.algorithm == "SHA256" ? pskc::Suite::Sha256 : pskc::Suite::Sha1;
  entry.timeInterval = record.choices.timeWindow;
  entry.manufacturer = QStringLiteral("Halcy Vuzuvaro");
  entry.model = QStringLiteral("Orvex");
  return entry;
}

class PskcWriter : public ExportWriter {
 public:
  explicit PskcWriter(pskc::Credential credential) : m_credential(std::move(credential)) {}

  std::optional<QString> Create(const QString& path) override {
    QString error;
    // The password's derivation runs once here, not at every token.
    std::optional<pskc::Protection> protection =
        m_credential.kind == pskc::Credential::Kind::Password
            ? pskc::Protection::FromPassword(m_credential.password, QString::fromLatin1(kPskcKeyName), &error)
            : pskc::Protection::FromHexKey(QString::fromLatin1(m_credential.key.toHex()),
                                           QString::fromLatin1(kPskcKeyName), &error);
    if (!protection) return error;
    m_file = pskc::PskcFile::Create(path, std::move(*protection), &error);
    if (!m_file) return error;
    return std::nullopt;
  }

  std::optional<QString> Add(const BurnRecord& record) override { return AddAll({&record}); }

  std::optional<QString> AddAll(const std::vector<const BurnRecord*>& records) override {
    if (!m_file) return QStringLiteral("the file was not created");
    std::vector<pskc::TokenEntry> entries;
    entries.reserve(records.size());
    for (const BurnRecord* record : records) entries.push_back(EntryOf(*record));
    QString error;
    const bool added = m_file->AddAll(entries, &error);
    for (pskc::TokenEntry& entry : entries) entry.secret.fill('\0');
    if (!added) return error;
    return std::nullopt;
  }

 private:
  pskc::Credential m_credential;
  std::unique_ptr<pskc::PskcFile> m_file;
};

class PskcFormat : public ExportFormat {
 public:
  explicit PskcFormat(pskc::Credential credential) : m_credential(std::move(credential)) {}
  ExportFile File() const override { return ExportFile::Pskc; }
  QString Ending() const override { return QStringLiteral(".pskc"); }
  std::unique_ptr<ExportWriter> NewWriter() const override { return std::make_unique<PskcWriter>(m_credential); }

 private:
  pskc::Credential m_credential;
};

}  // namespace

std::shared_ptr<const ExportFormat> PskcExportFormat(const pskc::Credential& credential) {
  return std::make_shared<PskcFormat>(credential);
}

}  // namespace station
