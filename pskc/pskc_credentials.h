// Where the key or password of a PSKC file comes from: a file named on the
// command line (never the secret itself, which other users could read there),
// and what a file asks for before it can be opened.
#pragma once
#include <QByteArray>
#include <QString>
#include <optional>

#include "pskc_reader.h"

namespace pskc {

struct CredentialFile {
  std::optional<Credential> credential;
  QString error;  // in words, when there is no credential
};
// A pre-shared AES-128 key from its 32 hexadecimal digits (blanks around them
// allowed); nothing for any other text.
std::optional<QByteArray> KeyFromHex(const QByteArray& text);
// A pre-shared AES-128 key: 32 hexadecimal digits, blanks and a line end around them allowed.
CredentialFile ReadKeyFile(const QString& path);
// A password: the file's first line, without its end; not empty.
CredentialFile ReadPasswordFile(const QString& path);

// What the document's EncryptionKey asks for: a pre-shared key (KeyName), a
// password (a PBKDF2 DerivedKey), or nothing (a plain file).
Credential::Kind NeededCredential(const QByteArray& document);

}  // namespace pskc
