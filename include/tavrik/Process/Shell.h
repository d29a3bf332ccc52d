// The user's login-shell environment, on which every git child's environment
// is based, so git sees the PATH and variables the user set up in the shell's
// start-up files. Probed once per process, in the background from the first
// queue's creation or on first use (`defaultShell()`).
#pragma once

#include "tavrik/Util/Url.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

class Shell {
public:
  using Environment = std::map<std::string, std::string>;

  /// Time a single probe may take before the shell (and whatever it started)
  /// is killed and the probe counts as failed.
  static constexpr std::chrono::milliseconds kProbeTimeout{3000};

  /// Probes `path` at once: `env` under an interactive login shell, then a
  /// login shell, then a plain shell; the first that succeeds is parsed. The
  /// environment is empty when all three fail. Blocks for at most three
  /// `probeTimeout`s.
  explicit Shell(std::string path, std::chrono::milliseconds probeTimeout = kProbeTimeout);

  const std::string& path() const { return path_; }
  /// Never nullopt after construction; empty when every probe failed.
  const std::optional<Environment>& environment() const { return environment_; }
  Url url() const { return Url::fileURL(path_); }
  /// The environment's "PATH", nullopt when the environment lacks it.
  std::optional<std::string> environmentPATH() const;

  /// Runs the shell with `arguments`, the engine's own environment, standard
  /// input from /dev/null and no controlling terminal. The standard output
  /// when the shell exits with status 0 and it is valid UTF-8; nullopt on any
  /// other status, a launch failure, or when `probeTimeout` passes first (the
  /// shell's whole session is then killed).
  std::optional<std::string> run(const std::vector<std::string>& arguments) const;

  /// Parses `env` output: "name=value" lines, both parts trimmed of white
  /// space; lines without a name or value are skipped; later lines win.
  static Environment parseEnvironment(std::string_view text);

  /// The real user's login shell from the password database (the one who
  /// ran the program, also in a set-user-id helper); absent when the entry
  /// has none.
  static std::optional<std::string> userShellPath();
  /// A shell for `userShellPath()`, or null when there is none.
  static std::shared_ptr<const Shell> makeUserShell();

  /// The process-wide shell, probed on the first call (callers racing with
  /// it wait for the one probe). Null when the user has no login shell.
  static std::shared_ptr<const Shell> defaultShell();
  /// Starts the first `defaultShell()` probe on a thread of its own, unless
  /// a shell was set or a probe already started, so that it overlaps other
  /// start-up work. Creating a queue calls it.
  static void startDefaultShellProbe();
  /// Replaces the process-wide shell; a replacement made before the first
  /// `defaultShell()` call means no probe ever runs.
  static void setDefaultShell(std::shared_ptr<const Shell> shell);

private:
  std::string path_;
  std::chrono::milliseconds probeTimeout_;
  std::optional<Environment> environment_;
};

} // namespace tavrik
