// The export formats on disk: each file's line for a token, checked against
// known answers from outside (xxd, base32, RFC 6238's secrets), and which
// file leaves which token out.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "burn_engine.h"
#include "export_set.h"

namespace {

// RFC 6238's secrets: 20 bytes for SHA-1, 32 for SHA-256. Their hex from
// `printf ... | xxd -p`, their Base32 from `printf ... | base32`.
constexpr char kSha1Secret[] = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
constexpr char kSha1Hex[] = "3132333435363738393031323334353637383930";
constexpr char kSha256Secret[] = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====";
constexpr char kSha256Hex[] = "3132333435363738393031323334353637383930313233343536373839303132";

station::BurnRecord Token(const char* serial, const char* secret, const char* algorithm, int timeWindow) {
  station::BurnRecord record;
  record.serialBytes = serial;
  record.serialNumber = QString::fromLatin1(serial);
  record.secretText = QString::fromLatin1(secret);
  record.secretBytes = station::DecodeSecret(record.secretText);
  record.choices.algorithm = algorithm;
  record.choices.timeWindow = timeWindow;
  record.exportLines = true;
  record.userName = QStringLiteral("ops@example.com");
  return record;
}

QStringList Lines(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {QStringLiteral("<cannot read %1>").arg(path)};
  const QString all = QString::fromLatin1(file.readAll());
  if (!all.isEmpty() && !all.endsWith(QLatin1String("\r\n"))) return {QStringLiteral("<torn last line>")};
  QStringList lines = all.split(QStringLiteral("\r\n"));
  lines.removeLast();
  return lines;
}

// LinOTP's six-column line: TOTP, six digits, the time window and the hash
// in lower case, the hex as the hex file writes it.
TEST(OathFormat, LineCarriesTypeDigitsWindowAndHash) {
  struct Case {
    const char* secret;
    const char* algorithm;
    int timeWindow;
    const char* line;
  };
  const Case cases[] = {
      {kSha1Secret, "SHA1", 30, "ZZ00000001,3132333435363738393031323334353637383930,totp,6,30,sha1"},
      {kSha1Secret, "SHA1", 60, "ZZ00000001,3132333435363738393031323334353637383930,totp,6,60,sha1"},
      {kSha256Secret, "SHA256", 30,
       "ZZ00000001,3132333435363738393031323334353637383930313233343536373839303132,totp,6,30,sha256"},
      {kSha256Secret, "SHA256", 60,
       "ZZ00000001,3132333435363738393031323334353637383930313233343536373839303132,totp,6,60,sha256"},
  };
  const auto oath = std::dynamic_pointer_cast<const station::LineFormat>(
      station::LineExportFormat(station::ExportFile::Oath));
  ASSERT_TRUE(oath);
  EXPECT_EQ(oath->Ending(), QStringLiteral(".oath.csv"));
  EXPECT_FALSE(oath->Header());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.algorithm) + " " + std::to_string(c.timeWindow));
    const station::BurnRecord record = Token("ZZ00000001", c.secret, c.algorithm, c.timeWindow);
    EXPECT_TRUE(oath->Takes(record));
    EXPECT_EQ(oath->Line(record), QByteArray(c.line));
  }
}

// The window's four files: every token in the hex, Base32 and OATH files,
// only the SHA-1 tokens in the Azure file, whose header stays.
TEST(ExportSetFormats, AzureFileLeavesSha256TokensOut) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  station::ExportSet set;
  ASSERT_FALSE(set.Open(dir.path(), QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9))));
  const station::BurnRecord sha1 = Token("ZZ00000001", kSha1Secret, "SHA1", 30);
  const station::BurnRecord sha256 = Token("ZZ00000002", kSha256Secret, "SHA256", 60);
  EXPECT_EQ(set.FilesLeavingOut(sha1), std::vector<station::ExportFile>());
  EXPECT_EQ(set.FilesLeavingOut(sha256), std::vector<station::ExportFile>{station::ExportFile::Azure});

  const station::LinesWritten first = set.Write(sha1);
  EXPECT_FALSE(first.failed);
  EXPECT_EQ(first.written.size(), 4u);
  const station::LinesWritten second = set.Write(sha256);
  EXPECT_FALSE(second.failed) << qPrintable(second.reason);
  EXPECT_EQ(second.written, (std::vector<station::ExportFile>{station::ExportFile::Hex, station::ExportFile::Base32,
                                                               station::ExportFile::Oath}));
  set.Close();

  const QString stem = QDir(dir.path()).filePath(QStringLiteral("Seed-2024-03-05-07-08-09"));
  const QString hex1 = QStringLiteral("ZZ00000001,") + kSha1Hex;
  const QString hex2 = QStringLiteral("ZZ00000002,") + kSha256Hex;
  EXPECT_EQ(Lines(stem + ".hex.csv"), QStringList({hex1, hex2}));
  EXPECT_EQ(Lines(stem + ".b32.csv"), QStringList({QStringLiteral("ZZ00000001,") + kSha1Secret,
                                                   QStringLiteral("ZZ00000002,") + kSha256Secret}));
  EXPECT_EQ(Lines(stem + ".oath.csv"), QStringList({hex1 + ",totp,6,30,sha1", hex2 + ",totp,6,60,sha256"}));
  EXPECT_EQ(Lines(stem + ".azure.csv"),
            QStringList({QStringLiteral("upn,serial number,secret key,time interval,manufacturer,model"),
                         QStringLiteral("ops@example.com,ZZ00000001,") + kSha1Secret + ",30,Halcy Vuzuvaro,Orvex"}));
}

// A set takes the formats it is given, and only their files.
TEST(ExportSetFormats, SetHoldsTheFilesOfItsFormatsOnly) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  station::ExportSet set(station::LineExportFormats({station::ExportFile::Oath, station::ExportFile::Base32}));
  ASSERT_FALSE(set.Open(dir.path(), QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9))));
  EXPECT_FALSE(set.WriteLines(Token("ZZ00000002", kSha256Secret, "SHA256", 30)));
  set.Close();
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
            QStringList({"Seed-2024-03-05-07-08-09.b32.csv", "Seed-2024-03-05-07-08-09.oath.csv"}));
  EXPECT_FALSE(station::LineExportFormat(station::ExportFile::Pskc));  // made with its key, not from this table
}

TEST(ExportFileNames, LabelsAndFormatNamesGoBothWays) {
  struct Case {
    station::ExportFile file;
    const char* label;
    const char* name;
  };
  const Case cases[] = {
      {station::ExportFile::Hex, "HEX", "hex"},       {station::ExportFile::Base32, "B32", "b32"},
      {station::ExportFile::Azure, "Azure", "azure"}, {station::ExportFile::Oath, "OATH", "oath"},
      {station::ExportFile::Pskc, "PSKC", "pskc"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(station::ExportFileLabel(c.file), QLatin1String(c.label));
    EXPECT_EQ(station::ExportFormatName(c.file), QLatin1String(c.name));
    EXPECT_EQ(station::ExportFileNamed(QLatin1String(c.name)), c.file);
  }
  EXPECT_FALSE(station::ExportFileNamed(QStringLiteral("HEX")));
  EXPECT_FALSE(station::ExportFileNamed(QString()));
}

}  // namespace
