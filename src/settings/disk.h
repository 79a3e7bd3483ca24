#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Small file operations shared by every subsystem. Failures come back as values;
// nothing here throws.
namespace quillon::disk {

// $HOME, else the password database's entry for the current user. Read on every call, so
// tests can point HOME at a scratch folder.
std::string homeDir();

// The whole file, or nothing when it cannot be opened or read. At most maxBytes
// are read when given, so a huge or endless file cannot fill memory.
std::optional<std::string> readFile(const std::string& path,
                                    std::size_t maxBytes = static_cast<std::size_t>(-1));

// Writes through a temporary file in the same folder, fsync, then rename over the
// target. An existing target keeps its permission bits; a new file gets newMode.
// On failure the target is untouched, no temporary file is left behind, and the
// system's description of the error is returned. sync = false skips the fsync, for
// files rewritten so often that losing the last one in a crash does not matter.
std::optional<std::string> writeAtomic(const std::string& path, std::string_view bytes,
                                       unsigned newMode = 0600, bool sync = true);

// Replaces the content of the file in place (creating it with newMode when missing).
bool writeInPlace(const std::string& path, std::string_view bytes, unsigned newMode = 0600);

// mkdir -p; new folders get mode. Returns false only when the folder does not exist afterwards.
bool makeDirs(const std::string& path, unsigned mode = 0700);

bool exists(const std::string& path);

// The folder part of a path ("/a/b/c" -> "/a/b"; "c" -> ".").
std::string parentOf(const std::string& path);

} // namespace quillon::disk
