// Seed lines through the burner's own line parser; PSKC files through the
// sources library's reader, with its rules.
#include "seed_input.h"

#include <QFile>
#include <cstring>

#include "base32.h"
#include "pskc_credentials.h"
#include "seed_file.h"

namespace pooladmin {
namespace {

std::variant<std::vector<pool::SeedEntry>, std::string> ReadLines(const std::string& path, const QByteArray& bytes) {
  std::vector<pool::SeedEntry> entries;
  std::string_view rest(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  const auto bad = [&path](int number, const char* why) {
    return "seed file " + path + ", line " + std::to_string(number) + ": " + why + "; nothing is loaded";
  };
  for (int number = 1; !rest.empty(); ++number) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (number == 1) line = sources::WithoutByteOrderMark(line);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    sources::SeedLine parsed;
    switch (sources::ParseSeedLine(line, &parsed)) {
      case sources::LineKind::Skip:
        // The burner's window skips such a line; an unattended load must not
        // guess (a file separated by ';' would lose every token).
        return bad(number, "no comma");
      case sources::LineKind::Bad:
        return bad(number, "not 'serial,Base32 secret'");
      case sources::LineKind::Entry:
        break;
    }
    if (parsed.serial.empty()) return bad(number, "no serial number");
    char text[seed::kMaxBase32Chars + 1];
    parsed.secret.copy(text, parsed.secret.size());
    text[parsed.secret.size()] = '\0';
    pool::Bytes secret(seed::kMaxSeedBytes);
    const int length = seed::Base32Decode(text, secret.data());
    std::memset(text, 0, sizeof text);
    secret.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    pool::SeedEntry entry;
    entry.serial = std::string(parsed.serial);
    entry.secret = pool::SecretBytes(std::move(secret));
    entry.where = "line " + std::to_string(number);
    if (entry.secret.bytes.empty()) return bad(number, "not 'serial,Base32 secret'");
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) return "seed file " + path + " lists no token";
  return entries;
}

std::variant<std::vector<pool::SeedEntry>, std::string> ReadPskc(const std::string& path, const QByteArray& bytes,
                                                                 const std::optional<pskc::Credential>& given) {
  const pskc::Credential::Kind needed = pskc::NeededCredential(bytes);
  const pskc::Credential credential = given.value_or(pskc::Credential{});
  if (needed == pskc::Credential::Kind::Password && credential.kind != needed) {
    return "seed file " + path + " is a PSKC file protected by a password: give --pskc-password-file";
  }
  if (needed == pskc::Credential::Kind::PreSharedKey && credential.kind != needed) {
    return "seed file " + path + " is a PSKC file protected by a pre-shared key: give --pskc-key-file";
  }
  const sources::PskcSeeds read = sources::ReadPskcSeeds(bytes, credential);
  if (!read.error.isEmpty()) return "PSKC seed file " + path + ": " + read.error.toStdString() + "; nothing is loaded";
  std::vector<pool::SeedEntry> entries;
  int number = 0;
  for (const sources::PskcSeed& seed : read.seeds) {
    ++number;
    pool::SeedEntry entry;
    entry.serial = seed.serial.toStdString();
    entry.secret = pool::SecretBytes(pool::Bytes(seed.secret.begin(), seed.secret.end()));
    if (seed.settings.algorithm) entry.algorithm = seed.settings.algorithm->toStdString();
    entry.timeWindow = seed.settings.timeWindow;
    entry.where = "KeyPackage " + std::to_string(number);
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) return "seed file " + path + " lists no token";
  return entries;
}

}  // namespace

std::variant<std::vector<pool::SeedEntry>, std::string> ReadSeedInput(
    const std::string& path, const std::optional<pskc::Credential>& credential) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    return "cannot read seed file " + path + ": " + file.errorString().toStdString();
  }
  QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    return "cannot read seed file " + path + ": " + file.errorString().toStdString();
  }
  auto read = pskc::LooksLikePskc(bytes.left(64 * 1024)) ? ReadPskc(path, bytes, credential) : ReadLines(path, bytes);
  bytes.fill('\0');
  return read;
}

}  // namespace pooladmin
