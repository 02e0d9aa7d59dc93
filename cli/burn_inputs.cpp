// The run's inputs, read and checked before any reader is touched.
#include "burn_inputs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSysInfo>
#include <pwd.h>
#include <unistd.h>

#include "app_values.h"
#include "burn_engine.h"
#include "pcsc_api.h"
#include "reader_list.h"
#include "pskc_credentials.h"
#include "pskc_export.h"
#include "seed_file.h"
#include "base32.h"

namespace cli {
namespace {

// A secret or key file is a line or two; anything larger is not one.
constexpr qint64 kSmallFileBytes = 4096;

std::optional<QByteArray> ReadSmallFile(const QString& path, QString* why) {
  QFile file(path);
  if (QFileInfo(path).isDir()) {
    *why = QStringLiteral("is a directory");
    return std::nullopt;
  }
  if (!file.open(QIODevice::ReadOnly)) {
    *why = file.errorString();
    return std::nullopt;
  }
  QByteArray bytes = file.read(kSmallFileBytes + 1);
  if (bytes.size() > kSmallFileBytes) {
    *why = QStringLiteral("is larger than %1 bytes").arg(kSmallFileBytes);
    return std::nullopt;
  }
  return bytes;
}

QString PcscWhy(int32_t code) {
  switch (code) {
    case tokenlink::kScardENoService:
      return QStringLiteral("the smart-card service (pcscd) is not running");
    case tokenlink::kScardENoReadersAvailable:
      return QStringLiteral("no reader is attached");
    default:
      return QStringLiteral("PC/SC error %1").arg(static_cast<uint32_t>(code), 8, 16, QLatin1Char('0')).toUpper();
  }
}

// Line numbers as "line 3" or "lines 3, 7, 9", the first few.
QString LineNumbers(const QList<int>& numbers) {
  constexpr int kShown = 5;
  QStringList shown;
  for (int i = 0; i < numbers.size() && i < kShown; ++i) shown << QString::number(numbers[i]);
  QString text = (numbers.size() == 1 ? QStringLiteral("line ") : QStringLiteral("lines ")) + shown.join(QStringLiteral(", "));
  if (numbers.size() > kShown) text += QStringLiteral(" and %1 more").arg(numbers.size() - kShown);
  return text;
}

// What the window's reader lets pass but an unattended run must not guess
// at: a line without a comma (a file separated by ";" would lose every
// token), an empty serial number, one serial with two secrets, and the
// first line the reader refuses. One line naming them, or nothing.
std::optional<QString> SeedFileFaults(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;  // said by the load
  QList<int> noComma;
  QList<int> noSerial;
  QList<int> twice;
  int badSecret = 0;
  QHash<QByteArray, QPair<int, QString>> seen;  // serial -> its first line and secret
  for (int number = 1; !file.atEnd(); ++number) {
    QByteArray bytes = file.readLine();
    if (bytes.endsWith('\n')) bytes.chop(1);
    std::string_view line(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (number == 1) line = sources::WithoutByteOrderMark(line);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    sources::SeedLine parsed;
    switch (sources::ParseSeedLine(line, &parsed)) {
      case sources::LineKind::Skip:
        noComma << number;
        continue;
      case sources::LineKind::Bad:
        if (badSecret == 0) badSecret = number;
        continue;
      case sources::LineKind::Entry:
        break;
    }
    if (parsed.serial.empty()) {
      noSerial << number;
      continue;
    }
    const QByteArray serial(parsed.serial.data(), static_cast<qsizetype>(parsed.serial.size()));
    const QString secret = NormaliseBase32(QString::fromLatin1(parsed.secret.data(), static_cast<qsizetype>(parsed.secret.size())));
    const auto earlier = seen.constFind(serial);
    if (earlier == seen.cend()) {
      seen.insert(serial, {number, secret});
    } else if (earlier->second != secret) {
      twice << number;
    }
  }
  QStringList faults;
  if (!noComma.isEmpty()) faults << LineNumbers(noComma) + QStringLiteral(": no comma");
  if (!noSerial.isEmpty()) faults << LineNumbers(noSerial) + QStringLiteral(": no serial number");
  if (!twice.isEmpty()) faults << LineNumbers(twice) + QStringLiteral(": a serial number listed earlier with another secret");
  if (badSecret != 0) faults << QStringLiteral("line %1: not 'serial,Base32 secret'").arg(badSecret);
  if (faults.isEmpty()) return std::nullopt;
  return QStringLiteral("seed file %1, %2").arg(path, faults.join(QStringLiteral("; ")));
}

std::optional<QString> LoadKey(const Options& o) {
  if (o.keyFile.isEmpty()) return std::nullopt;
  QString why;
  const std::optional<QByteArray> bytes = ReadSmallFile(o.keyFile, &why);
  if (!bytes) return QStringLiteral("cannot read key file %1: %2").arg(o.keyFile, why);
  if (!app::SetCustomerKey(QString::fromLatin1(bytes->trimmed()))) {
    return QStringLiteral("key file %1 does not hold a customer key (32 hexadecimal digits)").arg(o.keyFile);
  }
  return std::nullopt;
}

// The start of a file, enough to tell a PSKC document by its root element.
std::optional<QByteArray> ReadHead(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return file.read(64 * 1024);
}


std::optional<QString> LoadPskcSeed(const Options& o, RunSetup* setup) {
  QFile file(o.seedFile);
  if (!file.open(QIODevice::ReadOnly)) {
    return QStringLiteral("cannot read seed file %1: %2").arg(o.seedFile, file.errorString());
  }
  const QByteArray bytes = file.readAll();
  const pskc::Credential::Kind needed = pskc::NeededCredential(bytes);
  const pskc::Credential credential = setup->pskcCredential.value_or(pskc::Credential{});
  if (needed == pskc::Credential::Kind::Password && credential.kind != needed) {
    return QStringLiteral("seed file %1 is a PSKC file protected by a password: give --pskc-password-file")
        .arg(o.seedFile);
  }
  if (needed == pskc::Credential::Kind::PreSharedKey && credential.kind != needed) {
    return QStringLiteral("seed file %1 is a PSKC file protected by a pre-shared key: give --pskc-key-file")
        .arg(o.seedFile);
  }
  const sources::PskcLoad load = sources::LoadPskcSeedFile(bytes, credential);
  if (!load.error.isEmpty()) return QStringLiteral("PSKC seed file %1: %2").arg(o.seedFile, load.error);
  setup->seedEntries = load.tokens;
  if (setup->seedEntries == 0) return QStringLiteral("seed file %1 lists no token").arg(o.seedFile);
  // The file's own hash and time window go into its tokens; say so where they
  // differ from the command line's.
  for (const sources::SeedSettings& s : load.settings) {
    const bool differs = (s.algorithm && *s.algorithm != o.choices.algorithm) ||
                         (s.timeWindow && *s.timeWindow != o.choices.timeWindow);
    if (differs) {
      setup->notes << QStringLiteral("the seed file gives some of its tokens %1: they are burned with it, not with "
                                     "--algorithm %2 --time-window %3")
                          .arg(sources::SeedSettingsText(s), QString::fromLatin1(o.choices.algorithm))
                          .arg(o.choices.timeWindow);
    }
  }
  return std::nullopt;
}

std::optional<QString> LoadPskcCredential(const Options& o, RunSetup* setup) {
  if (o.pskcKeyFile.isEmpty() && o.pskcPasswordFile.isEmpty()) return std::nullopt;
  const pskc::CredentialFile read =
      o.pskcKeyFile.isEmpty() ? pskc::ReadPasswordFile(o.pskcPasswordFile) : pskc::ReadKeyFile(o.pskcKeyFile);
  if (!read.credential) return read.error;
  setup->pskcCredential = read.credential;
  return std::nullopt;
}

std::optional<QString> LoadSource(const Options& o, RunSetup* setup) {
  switch (*o.source) {
    case SecretSource::SeedFile: {
      if (QFileInfo(o.seedFile).isDir()) return QStringLiteral("seed file %1 is a directory").arg(o.seedFile);
      QFile probe(o.seedFile);
      if (!probe.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read seed file %1: %2").arg(o.seedFile, probe.errorString());
      }
      probe.close();
      if (std::optional<QByteArray> head = ReadHead(o.seedFile); head && pskc::LooksLikePskc(*head)) {
        return LoadPskcSeed(o, setup);
      }
      if (std::optional<QString> faults = SeedFileFaults(o.seedFile)) return *faults;
      if (!sources::LoadSeedFile(o.seedFile)) {
        return QStringLiteral("cannot read seed file %1 to its end").arg(o.seedFile);
      }
      setup->seedEntries = sources::SeedTable::Size();
      if (setup->seedEntries == 0) return QStringLiteral("seed file %1 lists no token").arg(o.seedFile);
      return std::nullopt;
    }
    case SecretSource::SecretFile: {
      QString why;
      const std::optional<QByteArray> bytes = ReadSmallFile(o.secretFile, &why);
      if (!bytes) return QStringLiteral("cannot read secret file %1: %2").arg(o.secretFile, why);
      const QString text = NormaliseBase32(QString::fromLatin1(bytes->trimmed()));
      const std::vector<uint8_t> decoded = station::DecodeSecret(text);
      if (text.isEmpty() || decoded.empty()) {
        return QStringLiteral("secret file %1 does not hold a Base32 secret (1 to %2 bytes)")
            .arg(o.secretFile)
            .arg(seed::kMaxSeedBytes);
      }
      QString unpadded = text;
      while (unpadded.endsWith(u'=')) unpadded.chop(1);
      if (WritesAzure(o) && unpadded.size() > 128) {
        return QStringLiteral("secret file %1: a secret of more than 128 Base32 characters is not taken by the "
                              "cloud directory's import of the export")
            .arg(o.secretFile);
      }
      setup->secretText = text;
      return std::nullopt;
    }
    case SecretSource::Random:
    case SecretSource::Pool:  // opened once the readers are known and locked
      return std::nullopt;
  }
  return std::nullopt;
}

QString LoginName() {
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_name != nullptr) {
    return QString::fromLocal8Bit(entry->pw_name);
  }
  return qEnvironmentVariable("USER");
}

// Connects to the pool, checks its key and takes the station's lock: a run
// refused here has claimed nothing.
std::optional<QString> OpenPool(const Options& o, RunSetup* setup) {
  pool::StationOptions poolOptions;
  setup->station = o.station.isEmpty() ? QSysInfo::machineHostName() : o.station;
  if (setup->station.isEmpty()) return QStringLiteral("the host has no name: give --station NAME");
  poolOptions.conninfo = o.poolConninfo.toStdString();
  poolOptions.keyFile = o.poolKeyFile.toStdString();
  poolOptions.station = setup->station.toStdString();
  poolOptions.operatorName = (o.operatorName.isEmpty() ? LoginName() : o.operatorName).toStdString();
  poolOptions.journalPath =
      o.poolJournal.isEmpty() ? pool::DefaultJournalPath(poolOptions.station) : o.poolJournal.toStdString();
  std::variant<std::unique_ptr<pool::StationPool>, std::string> opened = pool::StationPool::Open(poolOptions);
  if (const std::string* why = std::get_if<std::string>(&opened)) {
    return QStringLiteral("seed pool: %1").arg(QString::fromStdString(*why));
  }
  setup->pool = std::move(std::get<std::unique_ptr<pool::StationPool>>(opened));
  for (const std::string& note : setup->pool->TakeNotes()) setup->notes << QString::fromStdString(note);
  return std::nullopt;
}

}  // namespace

bool SharedExports::IsComplete() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_set.IsComplete();
}

std::optional<station::ExportFile> SharedExports::Open() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_set.IsComplete()) return std::nullopt;
  // One set a run: after a failure the run stops rather than start another.
  if (m_opened) return station::ExportFile::Hex;
  m_opened = true;
  return m_set.Open(m_directory, m_time);
}

std::optional<station::ExportFile> SharedExports::WriteLines(const station::BurnRecord& record) {
  return Write(record).failed;
}

station::LinesWritten SharedExports::Write(const station::BurnRecord& record) {
  std::lock_guard<std::mutex> lock(m_mutex);
  station::LinesWritten written = m_set.Write(record);
  if (written.failed) m_failed = true;
  return written;
}

void SharedExports::Close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_set.Close();
}

std::vector<station::ExportFile> SharedExports::FilesLeavingOut(const station::BurnRecord& record) const {
  // The formats never change: no lock needed.
  return m_set.FilesLeavingOut(record);
}

bool SharedExports::Failed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failed;
}

ReaderLister SystemReaderLister() {
  return [](std::vector<std::string>* names, int32_t* pcscResult) { return tokenlink::ListReaders(names, pcscResult); };
}

QString NormaliseBase32(const QString& text) {
  const std::u16string cleaned = seed::CleanSecretText(text.toStdU16String());
  return QString::fromStdU16String(seed::NormaliseSecretText(cleaned, seed::SeedEncoding::Base32, {}));
}

std::variant<QStringList, QString> AttachedReaders(const ReaderLister& listReaders) {
  std::vector<std::string> names;
  int32_t pcscResult = tokenlink::kScardSuccess;
  if (listReaders(&names, &pcscResult) != 0) {
    if (pcscResult == tokenlink::kScardENoReadersAvailable || pcscResult == tokenlink::kScardSuccess) {
      return QStringList();
    }
    return QStringLiteral("cannot list the readers: %1").arg(PcscWhy(pcscResult));
  }
  QStringList readers;
  for (const std::string& name : names) readers << QString::fromStdString(name);
  return readers;
}

std::variant<RunSetup, QString> PrepareRun(const Options& options, const ReaderLister& listReaders) {
  RunSetup setup;
  setup.options = options;
  if (std::optional<QString> bad = LoadKey(options)) return *bad;
  if (std::optional<QString> bad = LoadPskcCredential(options, &setup)) return *bad;
  if (std::optional<QString> bad = LoadSource(options, &setup)) return *bad;

  const std::variant<QStringList, QString> attached = AttachedReaders(listReaders);
  if (const QString* why = std::get_if<QString>(&attached)) return *why;
  const QStringList& present = std::get<QStringList>(attached);
  if (options.allReaders) {
    if (present.isEmpty()) return QStringLiteral("no reader is attached");
    setup.readers = present;
  } else {
    for (const QString& reader : options.readers) {
      if (!present.contains(reader)) {
        return QStringLiteral("unknown reader '%1' (attached: %2)")
            .arg(reader, present.isEmpty() ? QStringLiteral("none") : present.join(QStringLiteral(", ")));
      }
    }
    setup.readers = options.readers;
  }

  std::variant<std::shared_ptr<ReaderLocks>, QString> locked = LockReaders(setup.readers);
  if (const QString* why = std::get_if<QString>(&locked)) return *why;
  setup.locks = std::get<std::shared_ptr<ReaderLocks>>(locked);

  if (*options.source == SecretSource::Pool) {
    if (std::optional<QString> bad = OpenPool(options, &setup)) return *bad;
  }

  if (!options.exportDir.isEmpty()) {
    if (!QDir().mkpath(options.exportDir)) {
      return QStringLiteral("cannot create export directory %1").arg(options.exportDir);
    }
    // The PSKC format is made here with its key, in its place in the list.
    station::ExportFormats formats;
    for (const station::ExportFile file : options.formats) {
      formats.push_back(file == station::ExportFile::Pskc ? station::PskcExportFormat(*setup.pskcCredential)
                                                           : station::LineExportFormat(file));
    }
    setup.exports = std::make_shared<SharedExports>(options.exportDir, QDateTime::currentDateTime(),
                                                    std::move(formats));
    if (const std::optional<station::ExportFile> missing = setup.exports->Open()) {
      return QStringLiteral("cannot write export directory %1: the %2 seed file could not be created")
          .arg(options.exportDir, station::ExportFileLabel(*missing));
    }
  }
  return setup;
}

}  // namespace cli
