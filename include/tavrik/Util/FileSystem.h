// Whole-file reads and atomic replacement, for the small files the engine
// edits on the user's behalf (ignore rules, an instruction list).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

/// The absolute path with every symbolic link resolved; nullopt when it
/// does not exist (or cannot be resolved).
std::optional<std::string> realPath(const std::string& path);

/// The file's bytes; nullopt when it does not exist. Throws TavrikError
/// (with errno's message) when it exists but cannot be read.
std::optional<std::string> readFileIfExists(const std::string& path);

/// Replaces the file with `bytes` so that a reader sees the old or the new
/// content, never a part: a temporary file beside it, flushed, then renamed
/// over it. An existing file's permissions are kept; a new one gets 0666
/// less the umask. A symbolic link is followed: its target is replaced.
/// Throws TavrikError on failure, leaving the old file as it was.
void writeFileAtomically(const std::string& path, std::string_view bytes);

} // namespace tavrik
