// The client's stand-in for git's editor during an interactive rebase. When an
// operation has an editor attached, git is pointed at the prefix's editor
// companion program (as its editor and its sequence editor) and gets the
// editor's own variables, through which that program reaches the client;
// `GitSocketEditor` is a ready-made one.
//
// The client's part is the plan (`rebaseRequest`) and, optionally, the
// messages of reworded and squashed commits (`editMessage`); the rewriting
// of git's instruction list is `processEditList`.
#pragma once

#include "tavrik/Process/GitChildSession.h"
#include "tavrik/Rebase/GitRebaseRequest.h"

#include <any>
#include <map>
#include <optional>
#include <string>

namespace tavrik {

class GitEditor : public GitChildSession {
public:

  /// The client's own; the engine never reads it.
  std::any userInfo;

  /// Variables merged into git's environment for the run (replacing
  /// variables of the same name). Called on the operation's worker thread.
  virtual std::map<std::string, std::string> editorEnvironment() const = 0;

  /// The plan to apply; nullopt: none (the list stays as git wrote it).
  virtual std::optional<GitRebaseRequest> rebaseRequest() { return std::nullopt; }

  /// The message for a commit git asks to be edited (a reword, or the
  /// combined message of a squash): `message` is git's text, `commit` the id
  /// git names for the commit being replayed, when it names one. nullopt
  /// keeps git's text.
  virtual std::optional<std::string> editMessage(const std::string& message, const std::optional<std::string>& commit) {
    (void)message;
    (void)commit;
    return std::nullopt;
  }

  /// Called when a run with this editor ends, however it ends, and when the
  /// operation is cancelled (on the cancelling thread), so possibly twice and
  /// from two threads: implementations must be idempotent and thread-safe.
  virtual void finishEditing() = 0;

  /// The editor's variables and end, as the runner sees them.
  std::map<std::string, std::string> sessionEnvironment() const final { return editorEnvironment(); }
  void finishSession() final { finishEditing(); }

  /// Rewrites git's instruction list by the plan. Comment lines go; every
  /// other line stays where git put it. Only commit lines ("pick", or git's
  /// abbreviation "p") are matched against the plan, by id prefix: their verb
  /// becomes the action's, or they move to the plan's target. False, with
  /// the list unchanged, when there is no plan or no commit line.
  bool processEditList(std::string& list);
};

} // namespace tavrik
