// The client's stand-in for git's editor during an interactive rebase. When an
// operation has an editor attached, git is pointed at the prefix's editor
// companion program and gets the editor's own variables, through which that
// program reaches the client.
#pragma once

#include <map>
#include <string>

namespace tavrik {

class GitEditor {
public:
  virtual ~GitEditor() = default;

  /// Variables merged into git's environment for the run (replacing
  /// variables of the same name). Called on the operation's worker thread.
  virtual std::map<std::string, std::string> editorEnvironment() const = 0;

  /// Called when a run with this editor ends, however it ends, and when the
  /// operation is cancelled (on the cancelling thread), so possibly twice and
  /// from two threads: implementations must be idempotent and thread-safe.
  virtual void finishEditing() = 0;
};

} // namespace tavrik
