// The complete environment of a git child. Built from its inputs alone, so
// each variable can be checked without launching anything; the runner
// gathers the inputs (login shell, queue, context, editor) per run.
#pragma once

#include "tavrik/Interfaces/Persona.h"
#include "tavrik/Util/Url.h"

#include <map>
#include <optional>
#include <string>

namespace tavrik {

struct GitEnvironment {
  using Variables = std::map<std::string, std::string>;

  /// The search path used when the start environment has none.
  static constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:/Library/Apple/usr/bin";

  struct Inputs {
    /// The login shell's environment; nullopt when there is no default shell.
    std::optional<Variables> shellEnvironment;
    /// The engine's own environment.
    Variables processEnvironment;
    /// The real user's home directory from the password database.
    std::optional<std::string> homeDirectory;
    /// The git installation prefix of the queue.
    std::optional<Url> prefixURL;
    /// The attached editor's variables; nullopt when no editor is attached.
    std::optional<Variables> editorEnvironment;
    std::optional<Url> gitDirectoryURL;
    std::optional<Url> workingDirectoryURL;
    /// Author and committer after overrides and the persona manager.
    std::optional<persona::Persona> author;
    std::optional<persona::Persona> committer;
  };

  /// The child environment: the start environment (shell's, else the
  /// process's) with HOME, the sandbox switch, askpass and editor variables,
  /// the prefix's search path and git locations, the personas and an empty
  /// GIT_PAGER written over it. Unnamed variables pass through.
  static Variables build(const Inputs& inputs);

  /// The current process environment (`environ`).
  static Variables processEnvironment();
  /// The home directory of the real user id, nullopt when there is no entry.
  static std::optional<std::string> userHomeDirectory();
};

} // namespace tavrik
