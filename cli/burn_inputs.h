// Everything a run reads before it touches a token: the seed file or the
// secret file, the customer key file, the readers and the export set. A bad
// input gives one line and no run.
#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "burn_options.h"
#include "pskc_reader.h"
#include "export_set.h"
#include "reader_lock.h"
#include "station_pool.h"

namespace cli {

// The run's one export set, shared by the engines of every reader: each
// booking writes its lines under one lock, so lines of two readers never mix.
// One set a run: once a line is lost, every later line is refused (and said
// to be), and no second set is made.
class SharedExports : public station::ExportSink {
 public:
  SharedExports(QString directory, QDateTime localTime, station::ExportFormats formats)
      : m_directory(std::move(directory)), m_time(std::move(localTime)), m_set(std::move(formats)) {}
  bool IsComplete() const override;
  std::optional<station::ExportFile> Open() override;
  std::optional<station::ExportFile> WriteLines(const station::BurnRecord& record) override;
  station::LinesWritten Write(const station::BurnRecord& record);
  void Close() override;
  std::vector<station::ExportFile> FilesLeavingOut(const station::BurnRecord& record) const override;
  // A line could not be written: the run stops.
  bool Failed() const;

 private:
  const QString m_directory;
  const QDateTime m_time;
  mutable std::mutex m_mutex;
  station::ExportSet m_set;
  bool m_opened = false;
  bool m_failed = false;
};

// The readers PC/SC lists: 0 and the names, or -1 with the PC/SC code.
using ReaderLister = std::function<int(std::vector<std::string>* names, int32_t* pcscResult)>;
ReaderLister SystemReaderLister();

struct RunSetup {
  Options options;
  QStringList readers;
  int seedEntries = 0;   // --seed-file: the serial numbers it lists
  QString secretText;    // --secret-file: the secret as Base32 text
  std::shared_ptr<SharedExports> exports;  // none without --export-dir
  std::shared_ptr<ReaderLocks> locks;      // held for the whole run
  std::optional<pskc::Credential> pskcCredential;  // --pskc-key-file or --pskc-password-file
  std::shared_ptr<pool::StationPool> pool;         // --pool: open, its key checked, the station's lock held
  QString station;                                 // --pool: the station's name in it
  // Notes for the start of the run (a PSKC seed file's own settings).
  QStringList notes;
};

// The input checks of the options, in the order an operator would fix them:
// key file, secret source, readers, their locks, export directory (created
// last, so that a run refused for another reason leaves no empty set behind).
std::variant<RunSetup, QString> PrepareRun(const Options& options, const ReaderLister& listReaders);

// The readers for --list-readers, or a line saying why there are none.
std::variant<QStringList, QString> AttachedReaders(const ReaderLister& listReaders);

// The secret box's rules: spaces and dashes removed, Base32 padded to a
// multiple of 8 characters.
QString NormaliseBase32(const QString& text);

}  // namespace cli
