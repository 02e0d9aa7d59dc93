// The line formats of the export files and the table they are chosen from.
#include "export_formats.h"

#include <array>

#include "export_set.h"
#include "text_convert.h"

namespace station {
namespace {

struct FileNames {
  ExportFile file;
  const char* label;  // in the station's messages
  const char* name;   // in --formats
};
constexpr std::array<FileNames, 5> kFileNames = {{
    {ExportFile::Hex, "HEX", "hex"},
    {ExportFile::Base32, "B32", "b32"},
    {ExportFile::Azure, "Azure", "azure"},
    {ExportFile::Oath, "OATH", "oath"},
    {ExportFile::Pskc, "PSKC", "pskc"},
}};

QByteArray HexText(const BurnRecord& record) {
  return app::WideToAnsi(app::BytesToHexText(record.secretBytes.data(), record.secretBytes.size()));
}

// "serial,secret bytes in upper-case hex": privacyIDEA and LinOTP read a
// two-column line as an HOTP token, which is why the OATH file exists.
class HexFormat final : public LineFormat {
 public:
  ExportFile File() const override { return ExportFile::Hex; }
  QString Ending() const override { return QStringLiteral(".hex.csv"); }
  QByteArray Line(const BurnRecord& r) const override { return r.serialBytes + ',' + HexText(r); }
};

// "serial,Base32 text as burned", "=" padding included.
class Base32Format final : public LineFormat {
 public:
  ExportFile File() const override { return ExportFile::Base32; }
  QString Ending() const override { return QStringLiteral(".b32.csv"); }
  QByteArray Line(const BurnRecord& r) const override { return r.serialBytes + ',' + app::WideToAnsi(r.secretText); }
};

// The cloud directory's hardware-token import list.
class AzureFormat final : public LineFormat {
 public:
  ExportFile File() const override { return ExportFile::Azure; }
  QString Ending() const override { return QStringLiteral(".azure.csv"); }
  // The import takes TOTP with SHA-1 only: a SHA-256 token's line would be
  // refused there, or worse, give codes that never match.
  bool Takes(const BurnRecord& r) const override { return r.choices.algorithm == "SHA1"; }
  std::optional<QByteArray> Header() const override {
    return QByteArrayLiteral("upn,serial number,secret key,time interval,manufacturer,model");
  }
  QByteArray Line(const BurnRecord& r) const override {
    // The import takes only Base32 letters and digits in this column.
    QByteArray unpadded = app::WideToAnsi(r.secretText);
    while (unpadded.endsWith('=')) unpadded.chop(1);
    return app::WideToAnsi(r.userName) + ',' + r.serialBytes + ',' + unpadded + ',' +
           QByteArray::number(r.choices.timeWindow) + ",Halcy Vuzuvaro,Orvex";
  }
};

// LinOTP's six-column token line, which carries what a two-column line
// cannot: TOTP, the token's six digits, its time window and its hash.
class OathFormat final : public LineFormat {
 public:
  ExportFile File() const override { return ExportFile::Oath; }
  QString Ending() const override { return QStringLiteral(".oath.csv"); }
  QByteArray Line(const BurnRecord& r) const override {
    return r.serialBytes + ',' + HexText(r) + ",totp,6," + QByteArray::number(r.choices.timeWindow) + ',' +
           r.choices.algorithm.toLower();
  }
};

}  // namespace

QString ExportFileLabel(ExportFile file) {
  for (const FileNames& f : kFileNames) {
    if (f.file == file) return QLatin1String(f.label);
  }
  return {};
}

QString ExportFormatName(ExportFile file) {
  for (const FileNames& f : kFileNames) {
    if (f.file == file) return QLatin1String(f.name);
  }
  return {};
}

std::optional<ExportFile> ExportFileNamed(const QString& name) {
  for (const FileNames& f : kFileNames) {
    if (name == QLatin1String(f.name)) return f.file;
  }
  return std::nullopt;
}

std::unique_ptr<ExportWriter> LineFormat::NewWriter() const { return NewLineFileWriter(*this); }

std::shared_ptr<const ExportFormat> LineExportFormat(ExportFile file) {
  // The formats keep no state: one of each serves every set.
  static const auto hex = std::make_shared<const HexFormat>();
  static const auto base32 = std::make_shared<const Base32Format>();
  static const auto azure = std::make_shared<const AzureFormat>();
  static const auto oath = std::make_shared<const OathFormat>();
  switch (file) {
    case ExportFile::Hex:
      return hex;
    case ExportFile::Base32:
      return base32;
    case ExportFile::Azure:
      return azure;
    case ExportFile::Oath:
      return oath;
    case ExportFile::Pskc:
      return nullptr;
  }
  return nullptr;
}

ExportFormats LineExportFormats(const std::vector<ExportFile>& files) {
  ExportFormats formats;
  for (ExportFile file : files) {
    if (std::shared_ptr<const ExportFormat> format = LineExportFormat(file)) formats.push_back(std::move(format));
  }
  return formats;
}

ExportFormats StationExportFormats() {
  return LineExportFormats({ExportFile::Hex, ExportFile::Base32, ExportFile::Azure, ExportFile::Oath});
}

}  // namespace station
