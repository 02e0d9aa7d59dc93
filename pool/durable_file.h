// Files that must be on the disk, name and all, before the caller goes on:
// the pool key, the journal, the administrator's export files.
#pragma once
#include <cstddef>
#include <optional>
#include <string>

namespace pool {

// The directory part of a path ("." for a bare name).
std::string DirectoryOf(const std::string& path);
// Writes every byte, retrying after a signal; false with errno set.
bool WriteAll(int fd, const char* data, std::size_t size);
// Flushes a directory, so that a name made or removed in it lasts a crash.
// Nothing, or why not.
std::optional<std::string> SyncDirectory(const std::string& directory);
// A new file (never an existing one), readable and writable by its owner
// only, holding the bytes, flushed with its directory. Nothing, or why not
// (and no file then).
std::optional<std::string> WriteNewFile(const std::string& path, const char* data, std::size_t size);

}  // namespace pool
