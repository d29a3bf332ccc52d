#include "tavrik/Process/BufferedProcess.h"

#include "Process/BackgroundExecutor.h"
#include "tavrik/Process/WaitGroup.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/Util/Uuid.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tavrik {
namespace detail {

// One output stream as its drain sees it. Shared by the task and the drain so
// that a drain outliving its task (or detached from it) touches only this.
struct OutputStream {
  std::mutex mutex;  // guards detached and the use of buffer and block; held across fill + callback
  bool detached = false;
  std::shared_ptr<GitBuffer> buffer;
  BufferedProcess::OutputBlock block;

  void deliver(std::optional<std::string_view> chunk) {
    std::lock_guard lock(mutex);
    if (detached) return;
    buffer->fill(chunk);
    if (block) block(chunk);
  }

  void detach() {
    std::lock_guard lock(mutex);
    detached = true;
  }
};

} // namespace detail

namespace {

// Descriptors created here, closed on every path out of launch().
class Pipe {
public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) throw TavrikError::fromErrno(errno, "pipe2");
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  int releaseRead() { return std::exchange(fds_[0], -1); }
  int releaseWrite() { return std::exchange(fds_[1], -1); }
  void closeRead() {
    if (fds_[0] >= 0) ::close(std::exchange(fds_[0], -1));
  }
  void closeWrite() {
    if (fds_[1] >= 0) ::close(std::exchange(fds_[1], -1));
  }

private:
  int fds_[2] = {-1, -1};
};

class SpawnSetup {
public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  void check(int rc, const char* call) {
    if (rc != 0) throw TavrikError::fromErrno(rc, call);
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return -1;
}

} // namespace

std::shared_ptr<BufferedProcess::Task> BufferedProcess::launch(bool standardInput,
                                                               std::optional<std::string> diagnosticIdentifier,
                                                               std::shared_ptr<GitBuffer> standardOutputBuffer,
                                                               std::shared_ptr<GitBuffer> standardErrorBuffer,
                                                               OutputBlock standardOutputBlock,
                                                               OutputBlock standardErrorBlock) const {
  std::optional<Pipe> inPipe;
  if (standardInput) inPipe.emplace();
  Pipe outPipe;
  Pipe errPipe;

  SpawnSetup setup;
  if (inPipe) {
    setup.check(posix_spawn_file_actions_adddup2(&setup.actions, inPipe->readEnd(), 0),
                "posix_spawn_file_actions_adddup2");
  } else {
    // Never the parent's terminal: a git that prompts there would hang the engine.
    setup.check(posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0),
                "posix_spawn_file_actions_addopen");
  }
  setup.check(posix_spawn_file_actions_adddup2(&setup.actions, outPipe.writeEnd(), 1),
              "posix_spawn_file_actions_adddup2");
  setup.check(posix_spawn_file_actions_adddup2(&setup.actions, errPipe.writeEnd(), 2),
              "posix_spawn_file_actions_adddup2");
  // Our pipes are close-on-exec; this also catches descriptors that other
  // code in the client opened without it.
  setup.check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3), "posix_spawn_file_actions_addclosefrom_np");
  if (currentDirectoryURL && currentDirectoryURL->isFileURL()) {
    setup.check(posix_spawn_file_actions_addchdir_np(&setup.actions, currentDirectoryURL->path().c_str()),
                "posix_spawn_file_actions_addchdir_np");
  }

  // The launching thread may block signals (a writer blocks SIGPIPE) and the
  // client may ignore some; the child starts with the usual defaults.
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGTTIN, SIGTTOU})
    sigaddset(&defaults, sig);
  setup.check(posix_spawnattr_setsigmask(&setup.attributes, &empty), "posix_spawnattr_setsigmask");
  setup.check(posix_spawnattr_setsigdefault(&setup.attributes, &defaults), "posix_spawnattr_setsigdefault");
  // A session, or a process group, of its own (see `ownSession`); the
  // child's group is what interrupt() signals.
  if (!ownSession) setup.check(posix_spawnattr_setpgroup(&setup.attributes, 0), "posix_spawnattr_setpgroup");
  setup.check(posix_spawnattr_setflags(&setup.attributes,
                                       POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                           (ownSession ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP)),
              "posix_spawnattr_setflags");

  const std::string& path = executableURL.path();
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> environmentStrings;
  std::vector<char*> envp;
  if (environment) {
    environmentStrings.reserve(environment->size());
    for (const auto& [key, value] : *environment) environmentStrings.push_back(key + "=" + value);
    for (auto& entry : environmentStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }

  if (log.isEnabled(LogLevel::debug)) {
    std::string joined;
    for (size_t i = 0; i < arguments.size(); ++i) {
      if (i) joined += ' ';
      joined += arguments[i];
    }
    // An address may carry a password; a log line must not.
    log.debug("%s %s", executableURL.lastPathComponent().c_str(), withoutURLPasswords(joined).c_str());
  }

  if (!executableURL.isFileURL()) throw TavrikError::fromErrno(ENOENT, "posix_spawn");
  pid_t pid = -1;
  int rc = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(),
                       environment ? envp.data() : environ);
  if (rc != 0) throw TavrikError::fromErrno(rc, "posix_spawn");

  // The child holds its own copies now.
  if (inPipe) inPipe->closeRead();
  outPipe.closeWrite();
  errPipe.closeWrite();

  std::shared_ptr<Task> task(new Task());
  task->pid_ = pid;
  task->diagnosticIdentifier_ =
      diagnosticIdentifier ? std::move(*diagnosticIdentifier) : Uuid::random().uuidString();
  task->standardOutputBuffer_ = standardOutputBuffer ? std::move(standardOutputBuffer) : std::make_shared<GitBuffer>();
  task->standardErrorBuffer_ = standardErrorBuffer ? std::move(standardErrorBuffer) : std::make_shared<GitBuffer>();
  task->standardOutputBlock_ = std::move(standardOutputBlock);
  task->standardErrorBlock_ = std::move(standardErrorBlock);
  if (inPipe) task->standardInputFile_ = std::make_unique<PosixFile>(inPipe->releaseWrite());
  task->wg_ = std::make_shared<WaitGroup>();

  auto startDrain = [&](Pipe& pipe, const std::shared_ptr<GitBuffer>& buffer, const OutputBlock& block) {
    auto stream = std::make_shared<detail::OutputStream>();
    stream->buffer = buffer;
    stream->block = block;
    auto file = std::make_shared<PosixFile>(pipe.releaseRead());
    PosixFile* raw = file.get();
    PosixFile::readAsync(std::move(file), task->wg_, [stream, raw](std::optional<std::string_view> chunk) {
      stream->deliver(chunk);
      // Closed before the drain leaves the group, so a finished wait() leaves
      // no descriptor of this launch behind.
      if (!chunk) {
        try {
          raw->close();
        } catch (const TavrikError&) {
        }
      }
    });
    return stream;
  };
  if (pullsStandardOutput) {
    task->standardOutputFile_ = std::make_unique<PosixFile>(outPipe.releaseRead());
    // Nobody delivers into it; detached so a timed-out wait() has nothing to stop.
    task->standardOutputStream_ = std::make_shared<detail::OutputStream>();
    task->standardOutputStream_->detached = true;
  } else {
    task->standardOutputStream_ = startDrain(outPipe, task->standardOutputBuffer_, task->standardOutputBlock_);
  }
  task->standardErrorStream_ = startDrain(errPipe, task->standardErrorBuffer_, task->standardErrorBlock_);
  return task;
}

BufferedProcess::Task::~Task() {
  for (auto* file : {standardInputFile_.get(), standardOutputFile_.get()}) {
    if (file && file->isOpen()) {
      try {
        file->close();
      } catch (const TavrikError&) {
      }
    }
  }
  bool reaped;
  {
    std::lock_guard lock(processMutex_);
    reaped = _reaped;
  }
  if (!reaped && pid_ > 0) {
    pid_t pid = pid_;
    try {
      detail::BackgroundExecutor::shared().submit([pid] {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
      });
    } catch (...) {
      // Without a worker the child stays a zombie until the client exits.
    }
  }
}

int BufferedProcess::Task::wait() {
  std::lock_guard waitLock(waitMutex_);
  bool reaped;
  {
    std::lock_guard lock(processMutex_);
    reaped = _reaped;
  }
  if (!reaped) {
    // Wait without reaping first: until the reap below the pid cannot be
    // recycled, so interrupt() may signal it safely.
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    int status = 0;
    pid_t result;
    std::lock_guard lock(processMutex_);
    do {
      result = waitpid(pid_, &status, 0);
    } while (result < 0 && errno == EINTR);
    _reaped = true;
    _status = result == pid_ ? decodeStatus(status) : -1;
    if (result == pid_ && WIFSIGNALED(status)) _signal = WTERMSIG(status);
  }
  if (!_drainsSettled) {
    _drainsSettled = true;
    if (!wg_->waitFor(kOutputTimeout)) {
      Log::defaultLog().error("error: %s operation timed out while waiting on output", diagnosticIdentifier_.c_str());
      standardOutputStream_->detach();
      standardErrorStream_->detach();
      timedOut_ = true;
    }
  }
  return _status;
}

void BufferedProcess::Task::interrupt() {
  std::lock_guard lock(processMutex_);
  // The group shares the leader's id while the leader is unreaped, so its
  // helpers (ssh, hooks, filters) stop with it.
  if (!_reaped && pid_ > 0) ::kill(-pid_, SIGINT);
}

std::optional<int> BufferedProcess::Task::terminationSignal() const {
  std::lock_guard lock(processMutex_);
  return _signal;
}

bool BufferedProcess::Task::outputTimedOut() const { return timedOut_; }

} // namespace tavrik
