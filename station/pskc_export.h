// The PSKC export file of a set: the set's tokens in one RFC 6030 document,
// their secrets encrypted under a pre-shared key or a password given to the
// program, rewritten whole and made durable at every token.
#pragma once
#include <memory>

#include "export_formats.h"
#include "pskc_reader.h"

namespace station {

// The key or password's name in the file (ds:KeyName or MasterKeyName).
inline constexpr char kPskcKeyName[] = "Orvex Zerazaduzu export key";

// The PSKC format of files protected by the credential (a pre-shared key or
// a password; a file's salt and MAC key are its own).
std::shared_ptr<const ExportFormat> PskcExportFormat(const pskc::Credential& credential);

}  // namespace station
