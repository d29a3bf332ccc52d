// Where a user's own git, run in a terminal, finds the watcher of its
// working tree. The engine's git gets the watcher's socket and one-time
// token in its environment; a terminal's git runs the fsmonitor companion
// (once `core.fsmonitor` names it in the repository's configuration) with
// neither, from the working tree's top folder. So each serving watcher also
// leaves a small file, named after its working tree, in one folder per user
// that only the user may enter: the working tree, the socket and the token,
// each ended by a NUL. The companion trusts the file only when the folder
// is a real folder of its own user with no access for anyone else.
//
// On <string> and POSIX alone: the companion includes it too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrik::detail::rendezvous {

/// The per-user folder; fixed, not TMPDIR's, so that a terminal with another
/// environment than the client's finds the same one.
inline std::string folder() { return "/tmp/tavrik-fsmonitor-" + std::to_string(::getuid()); }

/// The file of the working tree whose top folder is `worktree` (a real
/// path, as git gives it to its hooks).
inline std::string fileFor(const std::string& worktree) {
  std::uint64_t hash = 1469598103934665603ULL; // FNV-1a
  for (unsigned char c : worktree) hash = (hash ^ c) * 1099511628211ULL;
  char name[17];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  return folder() + "/" + name;
}

/// Whether `folder()` exists as a folder of this user that nobody else may
/// read, write or enter (a link is not followed).
inline bool folderIsPrivate() {
  struct stat info {};
  return ::lstat(folder().c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
         (info.st_mode & 077) == 0;
}

/// The file's content for `worktree`, `socket` and `secret`.
inline std::string content(const std::string& worktree, const std::string& socket, const std::string& secret) {
  return worktree + '\0' + socket + '\0' + secret + '\0';
}

} // namespace tavrik::detail::rendezvous
