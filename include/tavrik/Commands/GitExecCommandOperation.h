// The shape the engine's git commands share: check the client's input, run
// git once, and on success report the aspects of the repository the command
// may have changed, so the queue refreshes them. A failed run reports
// nothing.
//
// Commands that hand client paths to git run it with literal pathspecs: to
// git a path after "--" is a pattern, so a file named "*" would otherwise
// stage, reset or discard every file, and ":(top)x" would name another.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Operation/GitAspects.h"

#include <map>
#include <optional>
#include <string>

namespace tavrik {

/// Runs git with the arguments; on success adds `aspects()` to the context.
template <class T> class GitExecCommand : public GitExecOperation<T> {
public:
  /// What a successful run may have changed.
  virtual GitAspects aspects() const = 0;

  /// Refuses input git would misread, before git runs. Base: nothing.
  virtual void validate(GitOperationContext&) {}

  /// A command that changes nothing (a listing) is a read.
  GitExecAccess access() const override { return aspects().isEmpty() ? GitExecAccess::read : GitExecAccess::write; }
  /// A command that changes nothing is not journaled; one that holds the
  /// index lock may rewrite the working tree; the others move refs or the
  /// index only. Commands that take the lock but leave the working tree
  /// alone say so, to stay cheap.
  GitJournalScope journalScope() const override {
    if (aspects().isEmpty()) return GitJournalScope::none;
    return this->needsIndexLock() ? GitJournalScope::workingTree : GitJournalScope::refsAndIndex;
  }

  /// The base environment, with GIT_LITERAL_PATHSPECS=1 when `passesPaths()`.
  std::map<std::string, std::string> environment(GitOperationContext& context) override {
    auto variables = GitExecRunner::environment(context);
    if (passesPaths()) variables["GIT_LITERAL_PATHSPECS"] = "1";
    return variables;
  }

protected:
  /// True for commands whose arguments carry client paths.
  virtual bool passesPaths() const { return false; }

  /// validate, run, report: the whole of a command without output.
  void runAndReport(GitOperationContext& context) {
    validate(context);
    this->runCommand(context);
    context.updatedAspects.formUnion(aspects());
  }
};

/// A command whose result is only success or failure.
class GitExecCommandOperation : public GitExecCommand<pledge::Void> {
public:
  pledge::Void execute(GitOperationContext& context) override {
    runAndReport(context);
    return {};
  }
};

} // namespace tavrik
