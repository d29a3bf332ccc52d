// Runs one child program with its standard output and standard error on
// pipes, drains both pipes at the same time into growing buffers while the
// child runs, optionally feeds it standard input, and waits for it to exit.
//
// A BufferedProcess is a reusable description (program, arguments,
// environment, working directory); each launch() yields an independent Task.
//
//   BufferedProcess process(Url::fileURL("/usr/bin/git"));
//   process.arguments = {"--no-pager", "status"};
//   auto task = process.launch();
//   int status = task->wait();
//   auto text = task->standardOutputBuffer()->utf8String();
//
// Output buffers and the late-drain contract
// ------------------------------------------
// Each stream is drained on a background worker. While a drain is attached it
// appends every chunk to its buffer and then calls the stream's callback,
// both under the stream's delivery lock, so a callback always sees a buffer
// that already holds the chunk it is given, and end of stream reaches the
// buffer (finalized) and the callback (nullopt) exactly once.
//
// wait() gives the drains 2 seconds after the child exits. When a grandchild
// still holds a pipe open the wait times out, and the task then detaches both
// drains under their delivery locks: from that moment no drain touches the
// caller's buffers or calls the callbacks again. The buffers hold exactly the
// chunks that had arrived (and are not finalized if their stream had not
// ended), so the caller may read them without a race. A detached drain keeps
// reading and discarding its pipe until the last writer closes it, then
// closes its end and its worker goes back to the pool.
#pragma once

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Process/PosixFile.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/Url.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tavrik {

class WaitGroup;
namespace detail {
struct OutputStream;
}

class BufferedProcess {
public:
  /// Receives each chunk of one stream (at most 4096 bytes, valid only during
  /// the call) and nullopt once at end of stream. Runs on a background worker
  /// while that stream's delivery lock is held: it must not block for long
  /// and must not call Task::wait().
  using OutputBlock = std::function<void(std::optional<std::string_view>)>;

  class Task;

  /// How long wait() waits for the drains after the child has exited.
  static constexpr std::chrono::milliseconds kOutputTimeout{2000};

  explicit BufferedProcess(Url executableURL) : executableURL(std::move(executableURL)) {}

  /// File URL of the program.
  Url executableURL;
  std::vector<std::string> arguments;
  /// The child's whole environment; nullopt inherits the parent's.
  std::optional<std::map<std::string, std::string>> environment;
  /// The child's working directory; ignored unless it is a file URL.
  std::optional<Url> currentDirectoryURL;
  /// Receives the launch line ("%s %s": program name, arguments) at debug level.
  Log log = Log::disabled();
  /// When true, standard output is not drained: the launcher reads it at its
  /// own pace from Task::standardOutputFile(), so a child that produces more
  /// than is wanted yet blocks on the full pipe instead of racing ahead. The
  /// standard output buffer and block are then unused, and wait() waits only
  /// for standard error's drain, so read to the end (or close the file)
  /// before waiting.
  bool pullsStandardOutput = false;
  /// When true (the default) the child starts a session of its own: no
  /// controlling terminal, so ssh's and gpg's questions go to the askpass
  /// companion and a client in a background job is never stopped by SIGTTIN.
  /// When false it gets only a process group of its own, in this process's
  /// session: where the scheduler groups by session (autogroup), children
  /// in one session share the CPU by thread, so a multi-threaded git (status
  /// preloading the index) is not cut to one session's share by a
  /// single-threaded one beside it. Either way the group is what
  /// Task::interrupt() signals.
  bool ownSession = true;

  /// Starts the child. Standard input is a pipe (Task::standardInputFile())
  /// when `standardInput` is true, otherwise /dev/null. Missing buffers are
  /// created empty; a missing identifier becomes a new UUID text. The child
  /// inherits no descriptor besides 0, 1 and 2.
  /// Throws TavrikError::fromErrno with the failing call's errno (for
  /// instance ENOENT from "posix_spawn" for a missing program); then no child
  /// and no descriptor remain.
  std::shared_ptr<Task> launch(bool standardInput = false,
                               std::optional<std::string> diagnosticIdentifier = std::nullopt,
                               std::shared_ptr<GitBuffer> standardOutputBuffer = nullptr,
                               std::shared_ptr<GitBuffer> standardErrorBuffer = nullptr,
                               OutputBlock standardOutputBlock = nullptr,
                               OutputBlock standardErrorBlock = nullptr) const;
};

/// One launched child. Created by BufferedProcess::launch().
class BufferedProcess::Task {
public:
  /// Closes a standard-input pipe still open. A child never waited for is
  /// reaped on a background worker, so it does not linger as a zombie. Drains
  /// of a task destroyed without wait() stay attached: they go on filling the
  /// buffers and calling the callbacks until end of stream, so whatever the
  /// callbacks capture must outlive the child's output.
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  const std::string& diagnosticIdentifier() const { return diagnosticIdentifier_; }
  /// The buffers of the two streams. Read them only after wait() returned.
  std::shared_ptr<GitBuffer> standardOutputBuffer() const { return standardOutputBuffer_; }
  std::shared_ptr<GitBuffer> standardErrorBuffer() const { return standardErrorBuffer_; }
  const OutputBlock& standardOutputBlock() const { return standardOutputBlock_; }
  const OutputBlock& standardErrorBlock() const { return standardErrorBlock_; }
  /// The write end of the child's standard input, nullptr when none was
  /// asked for. The launcher writes (writeAll) and closes it.
  PosixFile* standardInputFile() { return standardInputFile_.get(); }
  /// The read end of the child's standard output when the process pulls it
  /// (`pullsStandardOutput`), else nullptr. The launcher reads and closes it.
  PosixFile* standardOutputFile() { return standardOutputFile_.get(); }
  pid_t processIdentifier() const { return pid_; }

  /// Blocks until the child has exited, then at most kOutputTimeout for both
  /// drains to reach end of stream. On timeout it logs "error: <id> operation
  /// timed out while waiting on output" to Log::defaultLog() and detaches the
  /// drains (see the header comment); a callback running at that moment is
  /// allowed to finish first. Returns the exit status, or the signal
  /// number when a signal ended the child, or -1 when the child had already
  /// been reaped by someone else. Later calls return the same status at once.
  /// Thread-safe.
  int wait();

  /// The signal that ended the child, once wait() returned; absent when it
  /// exited (or was reaped by someone else).
  std::optional<int> terminationSignal() const;

  /// Sends SIGINT to the child's process group (the child starts a session
  /// of its own) unless the child has already been reaped. Safe from
  /// any thread, also while another thread is in wait().
  void interrupt();

  /// True when wait() gave up on the drains and detached them.
  bool outputTimedOut() const;

private:
  friend class BufferedProcess;
  Task() = default;

  std::string diagnosticIdentifier_;
  std::shared_ptr<GitBuffer> standardOutputBuffer_;
  std::shared_ptr<GitBuffer> standardErrorBuffer_;
  OutputBlock standardOutputBlock_;
  OutputBlock standardErrorBlock_;
  std::unique_ptr<PosixFile> standardInputFile_;
  std::unique_ptr<PosixFile> standardOutputFile_;
  std::shared_ptr<detail::OutputStream> standardOutputStream_;
  std::shared_ptr<detail::OutputStream> standardErrorStream_;
  std::shared_ptr<WaitGroup> wg_;
  pid_t pid_ = -1;

  // Lock order: waitMutex_ before processMutex_.
  std::mutex waitMutex_;      // serialises wait(); guards _status, _drainsSettled
  int _status = -1;
  std::optional<int> _signal;
  bool _drainsSettled = false;
  std::atomic<bool> timedOut_{false};
  mutable std::mutex processMutex_;  // guards _reaped, so a signal never reaches a recycled pid
  bool _reaped = false;
};

} // namespace tavrik
