// The external comparison tools the engine can launch through git difftool
// and git mergetool. Each known tool names where its application lives and
// how git starts it for a diff and for a merge: a launch script from the
// shared-support folder installed with the library (share/tavrik), which
// receives REMOTE, BASE, LOCAL and MERGED in its environment.
//
//   if (auto tool = GitTool::by("Meld"); tool && tool->isInstalled())
//     GitExecToolOperation::named(source, false, tool->name);
#pragma once

#include "tavrik/Util/Url.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// How git launches a tool for one kind of work (diff or merge): the values
/// of the difftool.NAME.* or mergetool.NAME.* settings passed with "-c".
struct GitToolCommand {
  /// The NAME git knows the tool by (diff.tool=NAME).
  std::string toolname;
  /// A complete shell command; wins over `sharedSupportScript`.
  std::optional<std::string> cmd;
  /// The tool's program, for tools git knows by itself.
  std::optional<std::string> path;
  std::optional<bool> trustExitCode;
  std::optional<bool> prompt;
  /// A script relative to the shared-support folder ("mergetools/meld-diff").
  std::optional<std::string> sharedSupportScript;

  bool operator==(const GitToolCommand&) const = default;
};

struct GitTool {
  /// The name a client shows and looks the tool up by ("Beyond Compare").
  std::string name;
  /// Where the application is installed.
  std::optional<std::string> path;
  std::optional<GitToolCommand> difftool;
  std::optional<GitToolCommand> mergetool;
  /// The tool can compare two folders (git difftool --dir-diff).
  bool supportsDirectoryDiff = false;

  /// `path` as a file URL; an empty URL when there is no path.
  Url fileURL() const;
  /// Something exists at `path`.
  bool isInstalled() const;

  /// The known tools, in the order a client lists them.
  static const std::vector<GitTool>& all();
  /// The known tool called `name` (letter case ignored); nullopt for others.
  static std::optional<GitTool> by(std::string_view name);

  /// The shared-support folder that holds the launch scripts: the folder in
  /// TAVRIK_SHARED_SUPPORT when that variable is set (nullopt when it does
  /// not exist), else the first existing one of ../share/tavrik from the
  /// folder of the library or program that contains the engine, the install
  /// prefix's share/tavrik and the build tree's share/tavrik. Any thread.
  static std::optional<Url> sharedSupportURL();

  bool operator==(const GitTool&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitToolCommand> {
  size_t operator()(const tavrik::GitToolCommand& c) const noexcept;
};
