// The pool's tables and functions in the database (schema orvex_pool), made
// or brought up to date by the administrator's init, and the check every
// program makes before it trusts a pool: its version and its key.
#pragma once
#include <optional>
#include <string>

#include "pool_crypto.h"
#include "pool_db.h"

namespace pool {

inline constexpr int kSchemaVersion = 1;

// Creates what is missing, in one transaction (two inits at once wait for
// each other). A pool made with another key is refused and left as it is.
// Nothing, or why not.
std::optional<std::string> CreateSchema(Connection& connection, const PoolKey& key);

// The pool exists, is of this version, and was made with this key. Nothing,
// or why not; *outOfReach tells a lost database from a refusal.
std::optional<std::string> CheckPool(Connection& connection, const PoolKey& key, bool* outOfReach);

}  // namespace pool
