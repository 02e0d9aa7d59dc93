// Each command: its arguments checked first (a usage error is one line and
// status 2), then the pool; anything the pool or a file refuses is one line
// and status 1.
#include "admin_commands.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "burn_export.h"
#include "durable_file.h"
#include "pool_admin.h"
#include "pool_journal.h"
#include "pool_schema.h"
#include "pskc_credentials.h"
#include "pskc_export.h"
#include "seed_input.h"
#include "station_pool.h"

namespace pooladmin {
namespace {

struct UsageError {
  std::string text;
};

struct Arguments {
  std::string conninfo;
  std::optional<std::string> keyFile;
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // the command's options, by name without "--"
  bool help = false;
  bool version = false;
};

// Options that take a value, and the commands that take each.
const std::map<std::string, std::set<std::string>> kCommandOptions = {
    {"pskc-key-file", {"load", "export"}},
    {"pskc-password-file", {"load", "export"}},
    {"count", {"generate"}},
    {"bytes", {"generate"}},
    {"journal-dir", {"status"}},
    {"format", {"export"}},
    {"since", {"export"}},
    {"output", {"export"}},
    {"void", {"reconcile"}},
};

Arguments Parse(const std::vector<std::string>& args) {
  Arguments a;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      a.help = true;
      continue;
    }
    if (arg == "--version") {
      a.version = true;
      continue;
    }
    if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      std::string name = arg.substr(2);
      std::optional<std::string> value;
      if (const std::size_t eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      const bool known = name == "pool" || name == "pool-key-file" || kCommandOptions.count(name) != 0;
      if (!known) throw UsageError{"unknown option --" + name};
      if (!value) {
        if (i + 1 >= args.size()) throw UsageError{"--" + name + " needs a value"};
        value = args[++i];
      }
      if (name == "pool") {
        a.conninfo = *value;
      } else if (name == "pool-key-file") {
        a.keyFile = *value;
      } else {
        if (a.options.count(name) != 0) throw UsageError{"--" + name + " is given twice"};
        a.options[name] = *value;
      }
      continue;
    }
    if (a.command.empty()) {
      a.command = arg;
    } else {
      a.positional.push_back(arg);
    }
  }
  return a;
}

void CheckOptions(const Arguments& a) {
  for (const auto& [name, value] : a.options) {
    if (kCommandOptions.at(name).count(a.command) == 0) {
      throw UsageError{"--" + name + " is not an option of " + a.command};
    }
  }
  if (a.options.count("pskc-key-file") != 0 && a.options.count("pskc-password-file") != 0) {
    throw UsageError{"give --pskc-key-file or --pskc-password-file, not both"};
  }
}

std::string Option(const Arguments& a, const std::string& name) {
  const auto found = a.options.find(name);
  return found == a.options.end() ? std::string() : found->second;
}

void NoPositional(const Arguments& a) {
  if (!a.positional.empty()) throw UsageError{a.command + " takes no argument '" + a.positional.front() + "'"};
}

std::string NeedKeyFile(const Arguments& a) {
  if (!a.keyFile || a.keyFile->empty()) throw UsageError{a.command + " needs --pool-key-file"};
  return *a.keyFile;
}

// "2025-03-04 10:11:12 UTC".
std::string UtcText(int64_t ms) {
  return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)
      .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"))
      .toStdString();
}

class Command {
 public:
  Command(const Arguments& a, std::FILE* out, std::FILE* err) : m_a(a), m_out(out), m_err(err) {}

  int Fail(const std::string& line) {
    std::fprintf(m_err, "orvex-zerazaduzu-pool: %s\n", line.c_str());
    return kExitFailure;
  }
  void Say(const std::string& line) { std::fprintf(m_out, "%s\n", line.c_str()); }

  std::unique_ptr<pool::PoolAdmin> Connect(std::string* why) {
    auto connected = pool::PoolAdmin::Connect(m_a.conninfo);
    if (auto* error = std::get_if<std::string>(&connected)) {
      *why = *error;
      return nullptr;
    }
    return std::move(std::get<std::unique_ptr<pool::PoolAdmin>>(connected));
  }

  // The key from its file and the pool it opens.
  std::optional<pool::PoolKey> KeyAndPool(const std::string& keyFile, std::unique_ptr<pool::PoolAdmin>* admin,
                                          std::string* why) {
    auto key = pool::PoolKey::ReadFile(keyFile);
    if (auto* error = std::get_if<std::string>(&key)) {
      *why = *error;
      return std::nullopt;
    }
    *admin = Connect(why);
    if (!*admin) return std::nullopt;
    if (auto refused = (*admin)->CheckKey(std::get<pool::PoolKey>(key))) {
      *why = *refused;
      return std::nullopt;
    }
    return std::get<pool::PoolKey>(key);
  }

  std::optional<pskc::Credential> PskcCredential(std::string* why) {
    const std::string keyFile = Option(m_a, "pskc-key-file");
    const std::string passwordFile = Option(m_a, "pskc-password-file");
    if (keyFile.empty() && passwordFile.empty()) return std::nullopt;
    const pskc::CredentialFile read = keyFile.empty() ? pskc::ReadPasswordFile(QString::fromStdString(passwordFile))
                                                      : pskc::ReadKeyFile(QString::fromStdString(keyFile));
    if (!read.credential) *why = read.error.toStdString();
    return read.credential;
  }

  int Init();
  int Load();
  int Generate();
  int Status();
  int Export();
  int Reconcile();

 private:
  const Arguments& m_a;
  std::FILE* m_out;
  std::FILE* m_err;
};

int Command::Init() {
  NoPositional(m_a);
  const std::string keyFile = NeedKeyFile(m_a);
  std::string why;
  std::unique_ptr<pool::PoolAdmin> admin = Connect(&why);
  if (!admin) return Fail(why);
  struct stat info {};
  const bool created = ::lstat(keyFile.c_str(), &info) != 0 && errno == ENOENT;
  auto key = created ? pool::PoolKey::CreateFile(keyFile) : pool::PoolKey::ReadFile(keyFile);
  if (auto* error = std::get_if<std::string>(&key)) return Fail(*error);
  if (auto refused = admin->Init(std::get<pool::PoolKey>(key))) {
    // A key made just now opens nothing: it goes, so that the next init
    // does not meet it.
    if (created && ::unlink(keyFile.c_str()) == 0) *refused += " (the new key file " + keyFile + " is removed)";
    return Fail(*refused);
  }
  if (created) Say("pool key file " + keyFile + " created: keep it, the pool's secrets open with it alone");
  Say("the pool is ready (schema orvex_pool, version " + std::to_string(pool::kSchemaVersion) + ")");
  return 0;
}

int Command::Load() {
  if (m_a.positional.size() != 1) throw UsageError{"load takes one seed file"};
  const std::string keyFile = NeedKeyFile(m_a);
  std::string why;
  const std::optional<pskc::Credential> credential = PskcCredential(&why);
  if (!why.empty()) return Fail(why);
  auto read = ReadSeedInput(m_a.positional.front(), credential);
  if (auto* error = std::get_if<std::string>(&read)) return Fail(*error);
  std::unique_ptr<pool::PoolAdmin> admin;
  const std::optional<pool::PoolKey> key = KeyAndPool(keyFile, &admin, &why);
  if (!key) return Fail(why);
  auto loaded = admin->Load(*key, std::get<std::vector<pool::SeedEntry>>(read));
  if (auto* error = std::get_if<std::string>(&loaded)) {
    return Fail("seed file " + m_a.positional.front() + ": " + *error + "; nothing is loaded");
  }
  Say(std::to_string(std::get<int64_t>(loaded)) + " secrets loaded from " + m_a.positional.front());
  return 0;
}

int Command::Generate() {
  NoPositional(m_a);
  const std::string keyFile = NeedKeyFile(m_a);
  const std::string countText = Option(m_a, "count");
  const std::string bytesText = Option(m_a, "bytes");
  if (countText.empty()) throw UsageError{"generate needs --count N"};
  if (bytesText.empty()) throw UsageError{"generate needs --bytes 20|32|64|128"};
  char* end = nullptr;
  errno = 0;
  const long long count = std::strtoll(countText.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || count < 1 || count > 100000000) {
    throw UsageError{"--count takes a number from 1 to 100000000, not '" + countText + "'"};
  }
  if (bytesText != "20" && bytesText != "32" && bytesText != "64" && bytesText != "128") {
    throw UsageError{"--bytes takes 20, 32, 64 or 128, not '" + bytesText + "'"};
  }
  std::string why;
  std::unique_ptr<pool::PoolAdmin> admin;
  const std::optional<pool::PoolKey> key = KeyAndPool(keyFile, &admin, &why);
  if (!key) return Fail(why);
  auto made = admin->Generate(*key, count, std::stoi(bytesText));
  if (auto* error = std::get_if<std::string>(&made)) return Fail("generate: " + *error);
  Say(std::to_string(std::get<int64_t>(made)) + " secrets of " + bytesText + " bytes made");
  return 0;
}

// The journals of the stations on this computer, each entry not yet in the pool.
void SayJournals(Command& c, const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    c.Say("journals in " + directory + ": none (" + std::strerror(errno) + ")");
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    const std::string prefix = "pool-journal-";
    const std::string ending = ".jsonl";
    if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size() + ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
      names.push_back(name);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  int total = 0;
  std::vector<std::string> lines;
  for (const std::string& name : names) {
    const pool::JournalContents contents = pool::ReadJournal(directory + "/" + name);
    if (!contents.error.empty()) {
      lines.push_back("  " + name + ": " + contents.error);
      continue;
    }
    for (const pool::JournalEntry& e : contents.entries) {
      ++total;
      const bool burned = e.outcome == pool::JournalEntry::Outcome::Burned;
      lines.push_back("  " + name + ": station " + e.station + ", " + (burned ? "burned" : "released") +
                      " serial " + e.serial + " (row " + std::to_string(e.id) + ")" +
                      (burned ? " at " + UtcText(e.burnedAtMs) : std::string()) + ", journaled at " +
                      UtcText(e.journaledAtMs));
    }
    if (!contents.badLines.empty()) {
      lines.push_back("  " + name + ": " + std::to_string(contents.badLines.size()) +
                      " unreadable lines (first: line " + std::to_string(contents.badLines.front()) + ")");
    }
  }
  c.Say("journals in " + directory + ": " + std::to_string(total) + (total == 1 ? " entry" : " entries") +
        " not yet in the pool");
  for (const std::string& line : lines) c.Say(line);
}

int Command::Status() {
  NoPositional(m_a);
  std::string journalDir = Option(m_a, "journal-dir");
  if (journalDir.empty()) journalDir = pool::DirectoryOf(pool::DefaultJournalPath("station"));
  std::string why;
  std::unique_ptr<pool::PoolAdmin> admin = Connect(&why);
  if (!admin) return Fail(why);
  auto read = admin->Status();
  if (auto* error = std::get_if<std::string>(&read)) return Fail(*error);
  const pool::PoolStatus& s = std::get<pool::PoolStatus>(read);
  Say("secrets: " + std::to_string(s.freeGenerated) + " free (made in advance), " + std::to_string(s.freeFixed) +
      " free (loaded for a serial), " + std::to_string(s.claimed) + " claimed, " + std::to_string(s.burned) +
      " burned, " + std::to_string(s.voided) + " void");
  char rates[160];
  std::snprintf(rates, sizeof rates, "burns a minute: %.1f over the last minute, %.1f over 5 minutes, %.1f over 15 minutes",
                static_cast<double>(s.burnsLast[0]), s.burnsLast[1] / 5.0, s.burnsLast[2] / 15.0);
  Say(rates);
  if (s.stations.empty()) Say("stations: none has claimed a secret yet");
  for (const pool::StationStatus& st : s.stations) {
    std::string line = "station " + st.station + ": " + (st.running ? "running" : "not running") + ", " +
                       std::to_string(st.claimed) + " claimed, " + std::to_string(st.burned) + " burned";
    if (st.lastBurnMs) line += ", last burn " + UtcText(*st.lastBurnMs) + " (serial " + st.lastBurnSerial + ")";
    Say(line);
  }
  SayJournals(*this, journalDir);
  return 0;
}

int Command::Export() {
  NoPositional(m_a);
  const std::string keyFile = NeedKeyFile(m_a);
  const std::string formatName = Option(m_a, "format");
  if (formatName.empty()) throw UsageError{"export needs --format hex|b32|azure|oath|pskc"};
  const std::optional<station::ExportFile> file = station::ExportFileNamed(QString::fromStdString(formatName));
  if (!file) throw UsageError{"--format takes hex, b32, azure, oath or pskc, not '" + formatName + "'"};
  const std::string output = Option(m_a, "output");
  const bool pskcFile = *file == station::ExportFile::Pskc;
  if (pskcFile && output.empty()) throw UsageError{"export --format pskc needs --output FILE"};
  if (pskcFile && Option(m_a, "pskc-key-file").empty() && Option(m_a, "pskc-password-file").empty()) {
    throw UsageError{"export --format pskc needs --pskc-key-file or --pskc-password-file"};
  }
  if (!pskcFile && (!Option(m_a, "pskc-key-file").empty() || !Option(m_a, "pskc-password-file").empty())) {
    throw UsageError{"--pskc-key-file and --pskc-password-file are for --format pskc"};
  }
  std::optional<int64_t> sinceMs;
  if (const std::string since = Option(m_a, "since"); !since.empty()) {
    // RFC 3339 lets a space stand for the 'T' between date and time.
    QString text = QString::fromStdString(since);
    if (text.size() > 10 && text[10] == u' ') text[10] = u'T';
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid()) {
      throw UsageError{"--since takes an ISO 8601 time such as 2025-03-04T10:00:00Z, not '" + since + "'"};
    }
    sinceMs = time.toMSecsSinceEpoch();
  }
  std::string why;
  const std::optional<pskc::Credential> credential = PskcCredential(&why);
  if (!why.empty()) return Fail(why);
  std::unique_ptr<pool::PoolAdmin> admin;
  const std::optional<pool::PoolKey> key = KeyAndPool(keyFile, &admin, &why);
  if (!key) return Fail(why);
  auto read = admin->Burned(*key, sinceMs);
  if (auto* error = std::get_if<std::string>(&read)) return Fail(*error);
  std::vector<station::BurnRecord> records;
  for (const pool::BurnedSeed& burned : std::get<std::vector<pool::BurnedSeed>>(read)) records.push_back(RecordOf(burned));

  if (pskcFile) {
    std::unique_ptr<station::ExportWriter> writer = station::PskcExportFormat(*credential)->NewWriter();
    if (auto error = writer->Create(QString::fromStdString(output))) return Fail(error->toStdString());
    std::vector<const station::BurnRecord*> all;
    for (const station::BurnRecord& record : records) all.push_back(&record);
    if (auto error = writer->AddAll(all)) {
      ::unlink(output.c_str());
      return Fail(error->toStdString());
    }
    std::fprintf(m_err, "orvex-zerazaduzu-pool: %zu tokens exported to %s\n", records.size(), output.c_str());
    return 0;
  }
  const auto format = std::dynamic_pointer_cast<const station::LineFormat>(station::LineExportFormat(*file));
  QByteArray bytes = LineFile(*format, records);
  std::optional<std::string> failure;
  if (output.empty()) {
    if (std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), m_out) !=
            static_cast<std::size_t>(bytes.size()) ||
        std::fflush(m_out) != 0) {
      failure = "cannot write to standard output";
    }
  } else {
    failure = pool::WriteNewFile(output, bytes.constData(), static_cast<std::size_t>(bytes.size()));
  }
  bytes.fill('\0');
  if (failure) return Fail(*failure);
  if (!output.empty()) std::fprintf(m_err, "orvex-zerazaduzu-pool: %zu tokens exported to %s\n", records.size(), output.c_str());
  return 0;
}

int Command::Reconcile() {
  NoPositional(m_a);
  std::string why;
  std::unique_ptr<pool::PoolAdmin> admin = Connect(&why);
  if (!admin) return Fail(why);
  if (const std::string serial = Option(m_a, "void"); !serial.empty()) {
    if (auto refused = admin->Void(serial)) return Fail(*refused);
    Say("serial " + serial + " is void: its secret is given to no token, and the pool gives the serial no other");
    return 0;
  }
  auto read = admin->StaleClaims();
  if (auto* error = std::get_if<std::string>(&read)) return Fail(*error);
  const auto& claims = std::get<std::vector<pool::StaleClaim>>(read);
  if (claims.empty()) Say("no claim of a station that is not running");
  for (const pool::StaleClaim& c : claims) {
    Say("serial " + c.serial + ": claimed by station " + c.station + " (reader " + c.reader + ") since " +
        UtcText(c.claimedAtMs) + "; the station is not running");
    Say("  lay token " + c.serial +
        " on any station: its burn is finished with the same secret (or, for a token that is lost, "
        "'reconcile --void " + c.serial + "')");
  }
  return 0;
}

}  // namespace

std::string UsageText() {
  return "Usage: orvex-zerazaduzu-pool [--pool CONNINFO] [--pool-key-file FILE] COMMAND [ARGS]\n"
         "The shared seed pool of the burning stations, in PostgreSQL.\n"
         "\n"
         "  init                      create the pool (schema orvex_pool); creates the key file if it is missing\n"
         "  load FILE [--pskc-key-file FILE | --pskc-password-file FILE]\n"
         "                            load a seed file (\"serial,Base32 secret\" lines, or PSKC): all or nothing\n"
         "  generate --count N --bytes 20|32|64|128\n"
         "                            make N random secrets in advance, for any serial\n"
         "  status [--journal-dir DIR]\n"
         "                            secrets by state, stations, burns a minute, journal entries not replayed\n"
         "  export --format hex|b32|azure|oath|pskc [--since TIME] [--output FILE]\n"
         "         [--pskc-key-file FILE | --pskc-password-file FILE]\n"
         "                            the burned tokens, as the burner's export files write them\n"
         "  reconcile [--void SERIAL]  claims of stations that are not running; --void: give the claim's secret up\n"
         "\n"
         "  --pool CONNINFO           libpq connection string or URI (default: the PG* environment variables)\n"
         "  --pool-key-file FILE      the pool key, 64 hexadecimal digits, readable by its owner only\n"
         "  --help, --version\n"
         "\n"
         "TIME is ISO 8601 (2025-03-04T10:00:00Z; without an offset, local time). Exit status: 0 done,\n"
         "1 refused or failed, 2 usage error.\n";
}

int RunCommand(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
  try {
    const Arguments a = Parse(arguments);
    if (a.help) {
      std::fputs(UsageText().c_str(), out);
      return std::fflush(out) == 0 ? 0 : kExitFailure;
    }
    if (a.version) {
      std::fprintf(out, "orvex-zerazaduzu-pool %s\n", ZZ_VERSION);
      return std::fflush(out) == 0 ? 0 : kExitFailure;
    }
    if (a.command.empty()) throw UsageError{"no command (init, load, generate, status, export, reconcile)"};
    CheckOptions(a);
    Command c(a, out, err);
    int status = kExitUsage;
    if (a.command == "init") {
      status = c.Init();
    } else if (a.command == "load") {
      status = c.Load();
    } else if (a.command == "generate") {
      status = c.Generate();
    } else if (a.command == "status") {
      status = c.Status();
    } else if (a.command == "export") {
      status = c.Export();
    } else if (a.command == "reconcile") {
      status = c.Reconcile();
    } else {
      throw UsageError{"unknown command '" + a.command + "'"};
    }
    if (std::fflush(out) != 0 && status == 0) {
      std::fprintf(err, "orvex-zerazaduzu-pool: cannot write to standard output\n");
      return kExitFailure;
    }
    return status;
  } catch (const UsageError& e) {
    std::fprintf(err, "orvex-zerazaduzu-pool: %s (see --help)\n", e.text.c_str());
    return kExitUsage;
  }
}

}  // namespace pooladmin
