// The command line of orvex-zerazaduzu-burn: what it takes, checked as a
// whole before anything is read or any reader is touched.
#pragma once
#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

#include <vector>

#include "burn_record.h"
#include "export_formats.h"

namespace cli {

enum class SecretSource { SeedFile, Random, SecretFile, Pool };

struct Options {
  bool help = false;
  bool version = false;
  bool listReaders = false;

  std::optional<SecretSource> source;
  QString seedFile;
  int randomBytes = 0;
  QString secretFile;
  // --pool: the shared seed pool's libpq connection string (empty: the PG*
  // environment variables), its key file, this station's name in it, who
  // runs it, and the journal its bookings go to while the pool is away.
  QString poolConninfo;
  QString poolKeyFile;
  QString station;
  QString operatorName;
  QString poolJournal;

  station::Choices choices;
  bool syncClock = true;
  QString keyFile;

  QString exportDir;  // empty: nothing is exported
  bool noExport = false;  // --no-export: the operator wants no export, random secrets included
  QString upn;
  // --formats: the files of the set, in this order.
  std::vector<station::ExportFile> formats = {station::ExportFile::Hex, station::ExportFile::Base32,
                                              station::ExportFile::Azure};
  bool formatsGiven = false;
  // The PSKC export file's key (32 hex digits) or password, each from a file;
  // also what opens a PSKC seed file.
  QString pskcKeyFile;
  QString pskcPasswordFile;

  QStringList readers;
  bool allReaders = false;
  std::optional<int> count;
  bool json = false;
};

struct UsageError {
  QString text;  // one line, without the program's name
};

// The arguments after the program's name.
std::variant<Options, UsageError> ParseOptions(const QStringList& arguments);

// The run writes the cloud directory's file.
bool WritesAzure(const Options& options);

// The --help text.
QString UsageText();

}  // namespace cli
