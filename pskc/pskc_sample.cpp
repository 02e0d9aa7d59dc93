// pskc-sample: writes a PSKC file of given tokens through PskcFile, or prints
// what the reader finds in one, for checks against Debian's PSKC tools.
//   pskc-sample write FILE --key HEX|--password PW SERIAL:SECRETHEX:SHA1|SHA256:30|60 ...
//   pskc-sample read FILE [--key HEX|--password PW]
// "read" prints one line per token: serial,secret in hex,algorithm,interval,TOTP|HOTP.
#include <QFile>
#include <QStringList>
#include <cstdio>

#include "pskc_file.h"
#include "pskc_reader.h"

namespace {

int Fail(const QString& message) {
  std::fprintf(stderr, "pskc-sample: %s\n", qPrintable(message));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList args;
  for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  if (args.size() < 2) return Fail("usage: write|read FILE [--key HEX|--password PW] [TOKEN...]");
  const QString mode = args.takeFirst();
  const QString path = args.takeFirst();
  QString keyHex, password;
  if (args.size() >= 2 && args[0] == "--key") {
    keyHex = args[1];
    args = args.mid(2);
  } else if (args.size() >= 2 && args[0] == "--password") {
    password = args[1];
    args = args.mid(2);
  }
  QString error;
  if (mode == "write") {
    std::optional<pskc::Protection> protection =
        keyHex.isEmpty() ? pskc::Protection::FromPassword(password, "Export password", &error)
                         : pskc::Protection::FromHexKey(keyHex, "Pre-shared-key", &error);
    if (!protection) return Fail(error);
    auto file = pskc::PskcFile::Create(path, *protection, &error);
    if (!file) return Fail(error);
    for (const QString& token : args) {
      const QStringList fields = token.split(':');
      if (fields.size() != 4) return Fail("a token is SERIAL:SECRETHEX:ALGORITHM:INTERVAL, not " + token);
      pskc::TokenEntry entry;
      entry.serial = fields[0];
      entry.secret = QByteArray::fromHex(fields[1].toLatin1());
      entry.algorithm = fields[2] == "SHA256" ? pskc::Suite::Sha256 : pskc::Suite::Sha1;
      entry.timeInterval = fields[3].toInt();
      entry.manufacturer = "Orvex";
      entry.model = "ZZ-TOTP";
      if (!file->Add(entry, &error)) return Fail(error);
    }
    return 0;
  }
  if (mode == "read") {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return Fail(path + ": " + file.errorString());
    const pskc::Credential credential =
        !keyHex.isEmpty()     ? pskc::Credential::FromKey(QByteArray::fromHex(keyHex.toLatin1()))
        : !password.isEmpty() ? pskc::Credential::FromPassword(password)
                              : pskc::Credential{};
    const pskc::ReadResult result = pskc::Read(file.readAll(), credential);
    if (!result.error.isEmpty()) return Fail(result.error);
    for (const pskc::ReadEntry& entry : result.entries) {
      const char* suite = entry.algorithm == pskc::Suite::Sha1     ? "SHA1"
                          : entry.algorithm == pskc::Suite::Sha256 ? "SHA256"
                                                                   : "";
      std::printf("%s,%s,%s,%s,%s\n", qPrintable(entry.serial), entry.secret.toHex().constData(), suite,
                  entry.timeInterval ? qPrintable(QString::number(*entry.timeInterval)) : "",
                  entry.keyAlgorithm == pskc::KeyAlgorithm::Totp ? "TOTP" : "HOTP");
    }
    return 0;
  }
  return Fail("unknown mode " + mode);
}
