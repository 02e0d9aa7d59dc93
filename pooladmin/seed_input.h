// A seed file read for the pool, as the burner reads it: "serial,Base32
// secret" lines, or a PSKC file told by its content. The whole file or
// nothing: the first bad line refuses it, named by its number.
#pragma once
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pool_admin.h"
#include "pskc_reader.h"

namespace pooladmin {

// The file's entries, or why it is refused. credential: what opens an
// encrypted PSKC file (--pskc-key-file, --pskc-password-file).
std::variant<std::vector<pool::SeedEntry>, std::string> ReadSeedInput(
    const std::string& path, const std::optional<pskc::Credential>& credential);

}  // namespace pooladmin
