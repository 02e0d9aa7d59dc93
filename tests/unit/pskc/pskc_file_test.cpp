// The durable export file: a new file only, mode 0600, after every Add a whole
// document with exactly the tokens added, and a failed rewrite at any step
// leaving the previous document.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <cerrno>

#include "pskc_file.h"
#include "pskc_reader.h"

namespace {

using pskc::PskcFile;

// The serial numbers in the file, in order; a file that is not well-formed
// XML fails the test.
QStringList SerialsOnDisk(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    ADD_FAILURE() << "cannot open " << path.toStdString();
    return {};
  }
  QStringList serials;
  QXmlStreamReader xml(&file);
  while (!xml.atEnd()) {
    if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"SerialNo") {
      serials << xml.readElementText();
    }
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  return serials;
}

pskc::TokenEntry Token(int n) {
  return {QStringLiteral("ZZ%1").arg(n, 4, 10, QChar('0')), QByteArray(20, char('a' + n)), pskc::Suite::Sha1, 30, 6,
          "Orvex", "ZZ-6"};
}

const QByteArray kKey = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");

pskc::Protection Key() {
  QString error;
  return *pskc::Protection::FromHexKey(kKey.toHex(), "Pre-shared-key", &error);
}

class PskcFileTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString path() const { return dir.filePath("Seed.pskc.xml"); }
  // Nothing but the file: no temporary file left beside it.
  void ExpectOnlyTheFile() const {
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Seed.pskc.xml"});
  }
};

TEST_F(PskcFileTest, EveryAddLeavesAWholeDocumentWithExactlyThoseTokens) {
  QString error;
  auto file = PskcFile::Create(path(), Key(), &error);
  ASSERT_TRUE(file) << error.toStdString();
  EXPECT_EQ(SerialsOnDisk(path()), QStringList{});
  QStringList added;
  for (int n = 1; n <= 5; ++n) {
    ASSERT_TRUE(file->Add(Token(n), &error)) << error.toStdString();
    added << Token(n).serial;
    EXPECT_EQ(SerialsOnDisk(path()), added);
    EXPECT_EQ(file->Count(), n);
    QFile onDisk(path());
    ASSERT_TRUE(onDisk.open(QIODevice::ReadOnly));
    const pskc::ReadResult read = pskc::Read(onDisk.readAll(), pskc::Credential::FromKey(kKey));
    ASSERT_EQ(read.entries.size(), std::size_t(n)) << read.error.toStdString();
    EXPECT_EQ(read.entries.back().serial, Token(n).serial);
    EXPECT_EQ(read.entries.back().secret, Token(n).secret);
  }
  struct stat status {};
  ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  ExpectOnlyTheFile();
}

TEST_F(PskcFileTest, AnExistingFileIsNeverTaken) {
  QFile existing(path());
  ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
  existing.write("someone else's");
  existing.close();
  QString error;
  EXPECT_FALSE(PskcFile::Create(path(), Key(), &error));
  EXPECT_TRUE(error.contains("File exists")) << error.toStdString();
  ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
  EXPECT_EQ(existing.readAll(), "someone else's");
  ExpectOnlyTheFile();
}

TEST_F(PskcFileTest, AFailedRewriteLeavesThePreviousDocument) {
  struct Case {
    PskcFile::Step step;
    int error;
    const char* words;
    bool tokenInFile;  // only a failed flush of the directory comes after the rename
  };
  const Case cases[] = {
      {PskcFile::Step::CreateTemporary, EACCES, "Permission denied", false},
      {PskcFile::Step::Write, ENOSPC, "No space left on device", false},
      {PskcFile::Step::Sync, EIO, "Input/output error", false},
      {PskcFile::Step::Publish, EROFS, "Read-only file system", false},
      {PskcFile::Step::SyncDirectory, EIO, "Input/output error", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    QFile::remove(path());
    bool armed = false;
    QString error;
    auto file = PskcFile::Create(path(), Key(), &error,
                                 [&](PskcFile::Step step) { return armed && step == c.step ? c.error : 0; });
    ASSERT_TRUE(file) << error.toStdString();
    ASSERT_TRUE(file->Add(Token(1), &error));
    ASSERT_TRUE(file->Add(Token(2), &error));
    armed = true;
    EXPECT_FALSE(file->Add(Token(3), &error));
    EXPECT_TRUE(error.startsWith(path())) << error.toStdString();
    EXPECT_TRUE(error.endsWith(c.words)) << error.toStdString();
    const QStringList before{Token(1).serial, Token(2).serial};
    EXPECT_EQ(SerialsOnDisk(path()), c.tokenInFile ? before + QStringList{Token(3).serial} : before);
    ExpectOnlyTheFile();
    // The next token's rewrite holds what the file held, and that token.
    armed = false;
    ASSERT_TRUE(file->Add(Token(4), &error)) << error.toStdString();
    EXPECT_EQ(SerialsOnDisk(path()).size(), c.tokenInFile ? 4 : 3);
  }
}

TEST_F(PskcFileTest, AMissingDirectoryIsSaid) {
  QString error;
  EXPECT_FALSE(PskcFile::Create(dir.filePath("no/such/Seed.pskc.xml"), Key(), &error));
  EXPECT_TRUE(error.endsWith("No such file or directory")) << error.toStdString();
}

}  // namespace
