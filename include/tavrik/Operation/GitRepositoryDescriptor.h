// Where a repository lives: its working tree, git directory and common git
// directory, whether it is bare or shallow, and the name shown for it.
//
// Descriptors come from asking git about a folder, or directly from a
// working-tree URL when the layout is known (`uncheckedWorktree`). The
// computed locations only append paths; none of them touches the disk.
#pragma once

#include "tavrik/Util/Url.h"

#include <functional>
#include <optional>
#include <string>

namespace tavrik {

struct GitRepositoryDescriptor {
  /// The working tree (for a bare repository, the git directory).
  Url url;
  /// The git directory (absolute).
  Url gitURL;
  /// The common git directory; differs from `gitURL` in linked worktrees.
  Url commonURL;
  bool isBare = false;
  bool isShallow = false;
  /// By default the last path component of `url`.
  std::string displayName;

  /// `url` as given, `gitURL` and `commonURL` = url + ".git", not bare, the
  /// last path component as display name. No file is checked.
  static GitRepositoryDescriptor uncheckedWorktree(const Url& url, bool isShallow);

  Url hooksURL() const { return commonURL.appendingPathComponent("hooks", true); }
  Url configURL() const { return commonURL.appendingPathComponent("config"); }
  Url excludesURL() const { return commonURL.appendingPathComponent("info/exclude"); }
  Url modulesURL() const { return commonURL.appendingPathComponent("modules", true); }
  Url logsURL() const { return commonURL.appendingPathComponent("logs", true); }
  /// The per-repository defaults file (only named, never read here).
  Url defaultsURL() const { return defaultsURLFor(commonURL); }

  /// `url`, unless the repository is bare.
  std::optional<Url> worktreeURL() const;
  std::optional<Url> gitignoreURL() const;
  std::optional<Url> gitattributesURL() const;
  /// The given working-tree-relative path; nullopt for a bare repository.
  std::optional<Url> submoduleURL(std::string_view path) const;

  /// "vantry/defaults.plist" under the given git directory.
  static Url defaultsURLFor(const Url& gitURL);
  /// ".gitconfig" in the home directory of the real user's password entry;
  /// nullopt when there is no entry.
  static std::optional<Url> globalConfigURL();

  /// True when `gitURL` exists and is a directory.
  bool isValid() const;
  /// A copy with another display name.
  GitRepositoryDescriptor changingDisplayName(std::string name) const;

  bool operator==(const GitRepositoryDescriptor&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitRepositoryDescriptor> {
  size_t operator()(const tavrik::GitRepositoryDescriptor& d) const noexcept {
    size_t h = std::hash<tavrik::Url>{}(d.url);
    auto mix = [&h](size_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
    mix(std::hash<tavrik::Url>{}(d.gitURL));
    mix(std::hash<tavrik::Url>{}(d.commonURL));
    mix(std::hash<bool>{}(d.isBare) * 2 + std::hash<bool>{}(d.isShallow));
    mix(std::hash<std::string>{}(d.displayName));
    return h;
  }
};
