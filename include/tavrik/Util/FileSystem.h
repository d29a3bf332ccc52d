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

/// Where writeFileAtomically may follow a link and where it keeps its
/// temporary file. The defaults confine both to the file's own folder.
struct AtomicWriteOptions {
  /// A symbolic link at the path is followed only to a file inside this
  /// folder (or below it); unset, only to a file in the path's own folder.
  std::optional<std::string> linksWithin;
  /// Where the temporary file is made, so that an interrupted write leaves
  /// nothing where it would be seen (the git directory for a file of the
  /// working tree). Used only when on the same file system as the file;
  /// unset, or on another, the temporary file goes beside the file.
  std::optional<std::string> temporaryFolder;
};

/// Replaces the file with `bytes` so that a reader sees the old or the new
/// content, never a part: a temporary file, flushed, then renamed over it.
/// An existing file's permissions are kept; a new one gets 0666 less the
/// umask. A symbolic link is followed (its target replaced) only within
/// `options.linksWithin`; one that leads elsewhere, or nowhere, is refused.
/// Throws TavrikError on failure or refusal, leaving the old file as it was.
void writeFileAtomically(const std::string& path, std::string_view bytes, const AtomicWriteOptions& options = {});

} // namespace tavrik
