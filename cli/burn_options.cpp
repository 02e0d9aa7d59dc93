// Parsing and checking the command line of orvex-zerazaduzu-burn.
#include "burn_options.h"

#include <algorithm>
#include <functional>
#include <map>

namespace cli {
namespace {

std::optional<int> NumberIn(const QString& text, std::initializer_list<int> allowed) {
  bool ok = false;
  const int n = text.toInt(&ok);
  if (!ok) return std::nullopt;
  for (int a : allowed) {
    if (a == n) return n;
  }
  return std::nullopt;
}

// "hex,b32,azure,oath": each name known and once; nothing, or the fault.
std::optional<QString> TakeFormats(const QString& list, std::vector<station::ExportFile>* formats) {
  const QString known = QStringLiteral("hex, b32, azure, oath or pskc");
  if (list.trimmed().isEmpty()) return QStringLiteral("--formats needs a comma list of %1").arg(known);
  formats->clear();
  for (const QString& item : list.split(u',')) {
    const QString name = item.trimmed();
    const std::optional<station::ExportFile> file = station::ExportFileNamed(name);
    if (!file) return QStringLiteral("--formats: unknown format '%1' (%2)").arg(name, known);
    if (std::find(formats->begin(), formats->end(), *file) != formats->end()) {
      return QStringLiteral("--formats: '%1' is given twice").arg(name);
    }
    formats->push_back(*file);
  }
  return std::nullopt;
}

}  // namespace

bool WritesAzure(const Options& options) {
  return !options.exportDir.isEmpty() &&
         std::find(options.formats.begin(), options.formats.end(), station::ExportFile::Azure) != options.formats.end();
}

std::variant<Options, UsageError> ParseOptions(const QStringList& arguments) {
  Options o;
  using Take = std::function<std::optional<QString>(const QString&)>;  // a message when the value is bad
  const auto source = [&o](SecretSource s) -> std::optional<QString> {
    if (o.source && *o.source != s) {
      return QStringLiteral("choose one secret source: --seed-file, --random, --secret-file or --pool");
    }
    if (o.source) return QStringLiteral("the secret source is given twice");
    o.source = s;
    return std::nullopt;
  };
  const std::map<QString, Take> valued = {
      {QStringLiteral("--seed-file"),
       [&](const QString& v) {
         o.seedFile = v;
         return source(SecretSource::SeedFile);
       }},
      {QStringLiteral("--random"),
       [&](const QString& v) -> std::optional<QString> {
         const std::optional<int> n = NumberIn(v, {20, 32, 64, 128});
         if (!n) return QStringLiteral("--random takes 20, 32, 64 or 128 (bytes), not '%1'").arg(v);
         o.randomBytes = *n;
         return source(SecretSource::Random);
       }},
      {QStringLiteral("--secret-file"),
       [&](const QString& v) {
         o.secretFile = v;
         return source(SecretSource::SecretFile);
       }},
      {QStringLiteral("--pool"),
       [&](const QString& v) {
         o.poolConninfo = v;
         return source(SecretSource::Pool);
       }},
      {QStringLiteral("--pool-key-file"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.isEmpty()) return QStringLiteral("--pool-key-file needs a file");
         o.poolKeyFile = v;
         return std::nullopt;
       }},
      {QStringLiteral("--station"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.trimmed().isEmpty() || v.size() > 64) return QStringLiteral("--station takes a name of 1 to 64 characters");
         o.station = v;
         return std::nullopt;
       }},
      {QStringLiteral("--operator"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.size() > 64) return QStringLiteral("--operator takes a name of at most 64 characters");
         o.operatorName = v;
         return std::nullopt;
       }},
      {QStringLiteral("--pool-journal"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.isEmpty()) return QStringLiteral("--pool-journal needs a file");
         o.poolJournal = v;
         return std::nullopt;
       }},
      {QStringLiteral("--time-window"),
       [&](const QString& v) -> std::optional<QString> {
         const std::optional<int> n = NumberIn(v, {30, 60});
         if (!n) return QStringLiteral("--time-window takes 30 or 60 (seconds), not '%1'").arg(v);
         o.choices.timeWindow = *n;
         return std::nullopt;
       }},
      {QStringLiteral("--algorithm"),
       [&](const QString& v) -> std::optional<QString> {
         if (v != QLatin1String("SHA1") && v != QLatin1String("SHA256")) {
           return QStringLiteral("--algorithm takes SHA1 or SHA256, not '%1'").arg(v);
         }
         o.choices.algorithm = v.toLatin1();
         return std::nullopt;
       }},
      {QStringLiteral("--display-time"),
       [&](const QString& v) -> std::optional<QString> {
         const std::optional<int> n = NumberIn(v, {15, 30, 60, 120});
         if (!n) return QStringLiteral("--display-time takes 15, 30, 60 or 120 (seconds), not '%1'").arg(v);
         o.choices.displayTime = *n;
         return std::nullopt;
       }},
      {QStringLiteral("--key-file"),
       [&](const QString& v) -> std::optional<QString> {
         o.keyFile = v;
         return std::nullopt;
       }},
      {QStringLiteral("--export-dir"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.isEmpty()) return QStringLiteral("--export-dir needs a directory");
         o.exportDir = v;
         return std::nullopt;
       }},
      {QStringLiteral("--upn"),
       [&](const QString& v) -> std::optional<QString> {
         // The Azure line is not quoted: a comma would shift its columns.
         if (v.contains(u',') || v.contains(u'\n') || v.contains(u'\r')) {
           return QStringLiteral("--upn cannot hold a comma or a line break");
         }
         o.upn = v;
         return std::nullopt;
       }},
      {QStringLiteral("--pskc-key-file"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.isEmpty()) return QStringLiteral("--pskc-key-file needs a file");
         o.pskcKeyFile = v;
         return std::nullopt;
       }},
      {QStringLiteral("--pskc-password-file"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.isEmpty()) return QStringLiteral("--pskc-password-file needs a file");
         o.pskcPasswordFile = v;
         return std::nullopt;
       }},
      {QStringLiteral("--formats"),
       [&](const QString& v) -> std::optional<QString> {
         if (o.formatsGiven) return QStringLiteral("--formats is given twice: give one list");
         o.formatsGiven = true;
         return TakeFormats(v, &o.formats);
       }},
      {QStringLiteral("--reader"),
       [&](const QString& v) -> std::optional<QString> {
         if (v.isEmpty()) return QStringLiteral("--reader needs a reader name");
         if (o.readers.contains(v)) return QStringLiteral("reader '%1' is given twice").arg(v);
         o.readers << v;
         return std::nullopt;
       }},
      {QStringLiteral("--count"),
       [&](const QString& v) -> std::optional<QString> {
         bool ok = false;
         const int n = v.toInt(&ok);
         if (!ok || n < 1) return QStringLiteral("--count takes a whole number from 1 up, not '%1'").arg(v);
         o.count = n;
         return std::nullopt;
       }},
  };
  const std::map<QString, bool*> flags = {
      {QStringLiteral("--no-sync"), nullptr},
      {QStringLiteral("--all-readers"), &o.allReaders},
      {QStringLiteral("--list-readers"), &o.listReaders},
      {QStringLiteral("--json"), &o.json},
      {QStringLiteral("--no-export"), &o.noExport},
      {QStringLiteral("--help"), &o.help},
      {QStringLiteral("-h"), &o.help},
      {QStringLiteral("--version"), &o.version},
  };

  for (int i = 0; i < arguments.size(); ++i) {
    QString name = arguments[i];
    std::optional<QString> inlineValue;
    if (name.startsWith(QLatin1String("--")) && name.contains(u'=')) {
      inlineValue = name.mid(name.indexOf(u'=') + 1);
      name = name.left(name.indexOf(u'='));
    }
    if (const auto flag = flags.find(name); flag != flags.end()) {
      if (inlineValue) return UsageError{QStringLiteral("%1 takes no value").arg(name)};
      if (flag->second) {
        *flag->second = true;
      } else {
        o.syncClock = false;
      }
      continue;
    }
    const auto option = valued.find(name);
    if (option == valued.end()) {
      if (name == QLatin1String("--secret")) {
        return UsageError{QStringLiteral(
            "a secret on the command line can be read by other users: put it in a file and give --secret-file")};
      }
      return UsageError{QStringLiteral("unknown option '%1'").arg(arguments[i])};
    }
    if (!inlineValue) {
      if (i + 1 >= arguments.size()) return UsageError{QStringLiteral("%1 needs a value").arg(name)};
      inlineValue = arguments[++i];
    }
    if (const std::optional<QString> bad = option->second(*inlineValue)) return UsageError{*bad};
  }

  if (o.help || o.version) return o;
  if (o.listReaders) {
    if (o.source || !o.readers.isEmpty() || o.allReaders) {
      return UsageError{QStringLiteral("--list-readers burns nothing: give it alone")};
    }
    return o;
  }
  if (!o.source) {
    return UsageError{QStringLiteral("no secret source: give --seed-file, --random, --secret-file or --pool")};
  }
  const bool poolOptions = !o.poolKeyFile.isEmpty() || !o.station.isEmpty() || !o.poolJournal.isEmpty() ||
                           !o.operatorName.isEmpty();
  if (*o.source != SecretSource::Pool && poolOptions) {
    return UsageError{QStringLiteral(
        "--pool-key-file, --station, --operator and --pool-journal go with --pool: give --pool too")};
  }
  if (*o.source == SecretSource::Pool && o.poolKeyFile.isEmpty()) {
    // The pool holds its secrets encrypted under this key.
    return UsageError{QStringLiteral("--pool needs --pool-key-file")};
  }
  if (o.readers.isEmpty() == !o.allReaders) {
    return UsageError{o.allReaders ? QStringLiteral("give --reader or --all-readers, not both")
                                   : QStringLiteral("no reader: give --reader NAME or --all-readers")};
  }
  if (o.noExport && !o.exportDir.isEmpty()) {
    return UsageError{QStringLiteral("--no-export and --export-dir contradict each other: give one")};
  }
  if (*o.source == SecretSource::Random && o.exportDir.isEmpty() && !o.noExport) {
    // A random secret is kept nowhere else: without the files it is lost.
    return UsageError{QStringLiteral(
        "--random without --export-dir keeps the secrets nowhere: give --export-dir, or --no-export if that is meant")};
  }
  if (!o.upn.isEmpty() && o.exportDir.isEmpty()) {
    return UsageError{QStringLiteral("--upn goes into the export files: give --export-dir too")};
  }
  if (o.formatsGiven && o.exportDir.isEmpty()) {
    return UsageError{QStringLiteral("--formats chooses the export files: give --export-dir too")};
  }
  const bool pskcCredential = !o.pskcKeyFile.isEmpty() || !o.pskcPasswordFile.isEmpty();
  if (!o.pskcKeyFile.isEmpty() && !o.pskcPasswordFile.isEmpty()) {
    return UsageError{QStringLiteral("give --pskc-key-file or --pskc-password-file, not both")};
  }
  const bool pskcChosen = std::find(o.formats.begin(), o.formats.end(), station::ExportFile::Pskc) != o.formats.end();
  if (pskcChosen && !pskcCredential) {
    // The PSKC file holds its secrets encrypted: it cannot be written without its key.
    return UsageError{QStringLiteral("--formats pskc needs --pskc-key-file or --pskc-password-file")};
  }
  // With a PSKC key or password, the default set has the PSKC file too.
  if (pskcCredential && !o.formatsGiven && !o.exportDir.isEmpty()) o.formats.push_back(station::ExportFile::Pskc);
  if (*o.source == SecretSource::SecretFile) {
    // One secret goes into one token: a second would show the same codes.
    if (o.count && *o.count != 1) return UsageError{QStringLiteral("--secret-file burns one token: --count must be 1")};
    o.count = 1;
  }
  if (*o.source == SecretSource::Random && o.randomBytes == 128 && WritesAzure(o)) {
    return UsageError{QStringLiteral(
        "--random 128 gives secrets of 205 Base32 characters, more than the cloud directory's import takes "
        "(128): use --random 64 or less, or --formats without azure")};
  }
  return o;
}

QString UsageText() {
  return QStringLiteral(
      "Usage: orvex-zerazaduzu-burn SOURCE (--reader NAME... | --all-readers) [OPTIONS]\n"
      "       orvex-zerazaduzu-burn --list-readers\n"
      "Burns every token laid on the chosen readers, each reader in parallel, until\n"
      "--count tokens are burned, the seed file is used up, or Ctrl-C (which lets the\n"
      "burns under way finish and books them).\n"
      "\n"
      "Secret source (one of):\n"
      "  --seed-file FILE        'serial,Base32 secret' lines; a token gets its line's\n"
      "                          secret, a token not in the file is reported and left\n"
      "  --random BYTES          a new random secret for each token: 20, 32, 64 or 128\n"
      "                          (128 not with the Azure file: the cloud directory's\n"
      "                          import takes at most 128 Base32 characters)\n"
      "  --secret-file FILE      one secret (Base32) for one token\n"
      "  --pool CONNINFO         the bench's shared seed pool in PostgreSQL (a libpq\n"
      "                          connection string; \"\" for the PG* environment\n"
      "                          variables): each token gets a secret claimed for its\n"
      "                          serial, and its burn is recorded there\n"
      "\n"
      "Seed pool (with --pool):\n"
      "  --pool-key-file FILE    the pool key (64 hex digits), as orvex-zerazaduzu-pool\n"
      "                          init made it; a wrong key is refused before any claim\n"
      "  --station NAME          this station's name in the pool (default: the host's\n"
      "                          name); one run per name at a time\n"
      "  --operator NAME         who runs it, for the record (default: the login name)\n"
      "  --pool-journal FILE     where bookings wait while the pool cannot be reached\n"
      "                          (default ~/.local/state/orvex-zerazaduzu/\n"
      "                          pool-journal-STATION.jsonl); replayed when it is back\n"
      "\n"
      "Token settings:\n"
      "  --time-window 30|60     seconds (default 30)\n"
      "  --algorithm SHA1|SHA256 (default SHA1)\n"
      "  --display-time 15|30|60|120\n"
      "                          seconds (default 30)\n"
      "  --no-sync               keep the token's own clock (default: the computer's)\n"
      "  --key-file FILE         another customer key: 32 hexadecimal digits\n"
      "\n"
      "Export files (one set per run, one line a token in each file):\n"
      "  --export-dir DIR        write them into DIR (nothing is exported without it)\n"
      "  --formats LIST          the files, a comma list (default hex,b32,azure):\n"
      "                            hex    serial,hex secret: read as HOTP by\n"
      "                                   privacyIDEA and LinOTP (use oath for TOTP)\n"
      "                            b32    serial,Base32 secret\n"
      "                            azure  Entra's hardware-token import (SHA-1 only:\n"
      "                                   a SHA256 run writes no lines in it)\n"
      "                            oath   serial,hex secret,totp,6,time window,hash:\n"
      "                                   LinOTP's TOTP line with its hash\n"
      "                            pskc   RFC 6030 PSKC, secrets encrypted (AES-128-CBC,\n"
      "                                   HMAC-SHA1 MACs) under the key or password\n"
      "                                   below: privacyIDEA, LinOTP and FreeIPA import it\n"
      "                          (default hex,b32,azure, and pskc when a PSKC key or\n"
      "                          password is given)\n"
      "  --pskc-key-file FILE    the PSKC file's pre-shared AES-128 key, 32 hex digits\n"
      "  --pskc-password-file FILE\n"
      "                          the PSKC file's password (its first line), turned into\n"
      "                          the key by PBKDF2 with a fresh salt per file; either one\n"
      "                          also opens a PSKC seed file\n"
      "  --upn USER              the user (UPN) of the Azure lines (empty without it)\n"
      "  --no-export             no export files; needed with --random, whose secrets\n"
      "                          are then kept nowhere (each token's line says so)\n"
      "\n"
      "Readers:\n"
      "  --reader NAME           burn on this reader; repeatable\n"
      "  --all-readers           burn on every reader attached at the start\n"
      "  --list-readers          list the readers and exit\n"
      "\n"
      "Run:\n"
      "  --count N               stop after N tokens burned\n"
      "  --json                  one JSON object per token on standard output\n"
      "  -h, --help              this text\n"
      "  --version               the program's version\n"
      "\n"
      "Exit status: 0 when every token reported was burned (a token that failed and\n"
      "was then burned counts as burned), also after Ctrl-C; 1 when one failed, was\n"
      "left or is unknown, or an export line was lost; 2 for bad usage or input,\n"
      "or a reader in use by another burn run (nothing is sent to a token then).\n");
}

}  // namespace cli
