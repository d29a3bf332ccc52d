// The base of every operation that runs the git command-line program. A
// concrete operation supplies its argument list (and, where it must, a few of
// the values below); its `execute` calls `runCommand(context)` and then parses
// `stdOutBuffer`:
//
//   class GitExecRevParseOperation : public GitExecOperation<std::string> {
//   public:
//     std::vector<std::string> arguments(GitOperationContext&) override { return {"rev-parse", "HEAD"}; }
//     std::string execute(GitOperationContext& context) override {
//       runCommand(context);
//       return stdOutBuffer->scanStringToLF().value_or("");
//     }
//   };
//
// The runner starts the prefix's bin/git with "--no-pager" and the arguments,
// in an environment it builds completely (`GitEnvironment`), feeds standard
// input when there is any, turns standard error into task progress while git
// runs, waits, and throws `GitStdError` for a failing status with output.
// Everything that does not depend on the result type lives in `GitExecRunner`
// and is compiled once.
#pragma once

#include "tavrik/Process/BufferedProcess.h"
#include "tavrik/Process/GitAuth.h"
#include "tavrik/Process/GitChildSession.h"
#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Process/GitEnvironment.h"
#include "tavrik/Process/GitSigningPrompts.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/Url.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavrik {

/// What every git-running operation provides: its arguments and its child
/// environment.
class GitExecOperationTraits {
public:
  virtual ~GitExecOperationTraits() = default;
  /// The git arguments after the global options.
  virtual std::vector<std::string> arguments(GitOperationContext& context) = 0;
  /// The complete child environment.
  virtual std::map<std::string, std::string> environment(GitOperationContext& context) = 0;
};

/// Whether a run only reads the repository or may change it.
enum class GitExecAccess {
  /// Reads only: git runs with GIT_OPTIONAL_LOCKS=0, so it never takes
  /// index.lock to write back a refreshed index, which would make the user's
  /// own git commands fail beside it.
  read,
  /// May change the repository; git takes the locks it wants.
  write,
};

namespace detail {
struct GitExecRun;
}

/// The type-independent half of `GitExecOperation<T>`. Its `signingAuth`
/// (see GitSigningPrompts.h) answers the signing tools' prompts of each run.
class GitExecRunner : public GitExecOperationTraits, public GitSigningPrompts {
public:
  GitExecRunner();
  ~GitExecRunner() override;

  /// git's standard output and standard error of the last run. Cleared when
  /// a run starts; after `runCommand` both are complete with their offsets
  /// at the start, ready for the parser.
  const std::shared_ptr<GitBuffer> stdOutBuffer;
  const std::shared_ptr<GitBuffer> stdErrBuffer;

  /// Receives each valid UTF-8 output chunk as "stdout: ..." / "stderr: ..."
  /// at debug level. Disabled unless the client sets another.
  Log outputLog = Log::disabled();
  /// Receives the launch line ("git --no-pager ...") at debug level.
  Log commandLog = Log::defaultLog();

  /// Set (before enqueueing) by operations that let the client edit what git
  /// asks to be edited, such as an interactive rebase's instruction list
  /// (a `GitEditor`): git's editor becomes the prefix's editor companion,
  /// which reaches the session through its variables.
  std::shared_ptr<GitChildSession> editor;

  /// The running child, null when none runs. Any thread.
  std::shared_ptr<BufferedProcess::Task> currentTask() const;

  /// Line prefixes of a transfer's phases, in order; empty (the base) means
  /// no progress parsing.
  virtual std::vector<std::string> progressPhases() const;
  /// Where git runs; base: the effective repository's working tree.
  virtual std::optional<Url> workingDirectoryURL(GitOperationContext& context);
  /// The GIT_DIR for git; base: the effective repository's git directory.
  virtual std::optional<Url> gitDirectoryURL(GitOperationContext& context);
  /// Bytes for git's standard input; base: none (git reads /dev/null).
  virtual std::optional<std::string> standardInputData();
  /// The base environment (see `GitEnvironment::build`), from the login
  /// shell's environment (`Shell::defaultShell()`), the queue's prefix and
  /// persona manager, the context's personas and the editor.
  std::map<std::string, std::string> environment(GitOperationContext& context) override;
  /// Whether this operation reads or may change the repository; base `read`,
  /// so a reader cannot forget it. Commands that change something say so.
  virtual GitExecAccess access() const;
  /// Whether git runs in a session of its own (`BufferedProcess::ownSession`):
  /// base, unless this is a read that signs nothing, since only a command
  /// that changes something runs hooks or signs, and a transfer (which may
  /// ask through ssh) or a signature check says so itself.
  virtual bool needsOwnSession() const;
  /// What the child gets: `environment(context)`, with GIT_OPTIONAL_LOCKS=0
  /// for a read whatever an override of `environment` returned.
  std::map<std::string, std::string> childEnvironment(GitOperationContext& context);
  /// Exit statuses that count as success; base {0}.
  virtual std::set<int> successStatuses() const;
  /// Throws `GitStdError(status, text)` when there is a text and the status
  /// is not a success status. Without text nothing is thrown. The runner
  /// reads the text (standard error, else standard output) only for a status
  /// outside `successStatuses()`.
  virtual void checkStatus(int status, const std::optional<std::string>& text);

  /// The fractions of the progress phases after the last run.
  std::vector<double> partialProgress() const;

  /// The inputs the base environment is built from, for the base and for
  /// overrides that adjust a few of them.
  GitEnvironment::Inputs environmentInputs(GitOperationContext& context);

  /// Runs git once with this operation's arguments and environment, blocking
  /// the calling thread until git has exited. Throws arbor::Error
  /// "Git executable not found." when the queue has no prefix, TavrikError
  /// when git cannot be started or its standard input not be written or
  /// closed, and what `checkStatus` throws. The editor, when set, is finished
  /// on every way out.
  void runCommand(GitOperationContext& context);

protected:
  /// The operation this runner belongs to.
  virtual GitQueueOperation& execOperation() = 0;
  /// Finishes the editor and interrupts the running child (SIGINT); git then
  /// exits and the run ends normally with git's status.
  void cancelCommand();

private:
  void setCurrentTask(const std::shared_ptr<BufferedProcess::Task>& task);

  mutable std::mutex currentTaskLock_; // guards currentTask_
  std::weak_ptr<BufferedProcess::Task> currentTask_;
  // The state the output callbacks share; replaced at each run, kept after it.
  std::shared_ptr<detail::GitExecRun> run_;
};

template <class T> class GitExecOperation : public GitOperation<T>, public GitExecRunner {
public:
  /// The operation's cancel, then the editor's finish and an interrupt to the
  /// running git, from any thread.
  void cancel() override {
    GitOperation<T>::cancel();
    cancelCommand();
  }

protected:
  GitQueueOperation& execOperation() override { return *this; }
};

} // namespace tavrik
