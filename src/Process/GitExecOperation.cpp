#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Process/GitSocketAuth.h"
#include "tavrik/Util/StringUtilities.h"

#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Process/GitProgress.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Operation/GitOperationHost.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/TavrikError.h"

#include <cerrno>
#include <cstring>

namespace tavrik {
namespace detail {

// What the output callbacks touch. Shared with the callbacks rather than
// reached through the operation, so a drain never outlives what it writes to.
struct GitExecRun {
  std::shared_ptr<GitBuffer> stdErrBuffer;
  Log outputLog = Log::disabled();
  GitProgress progress;
  std::weak_ptr<GitQueueOperation> operation;

  void logChunk(const char* stream, std::string_view chunk) const {
    if (!outputLog.isEnabled(LogLevel::debug) || !isValidUTF8(chunk)) return;
    outputLog.debug("%s: %s", stream, withoutURLPasswords(chunk).c_str());
  }

  // On the standard-error drain, after the chunk reached stdErrBuffer.
  void updateProgress() {
    auto op = operation.lock();
    if (!op || op->isFinished()) return;
    auto task = op->task(); // none without a title
    if (!task) return;
    auto update = progress.consumeNextLine(*stdErrBuffer);
    if (!update) return;
    task->setString(std::move(update->line));
    task->setProgress(update->percent);
  }
};

} // namespace detail

namespace {

// Runs `finish` when the scope ends, however it ends; errors from it are
// dropped so they never replace the run's own outcome.
class SessionFinisher {
public:
  explicit SessionFinisher(std::shared_ptr<GitChildSession> session) : session_(std::move(session)) {}
  ~SessionFinisher() {
    if (!session_) return;
    try {
      session_->finishSession();
    } catch (...) {
    }
  }
  SessionFinisher(const SessionFinisher&) = delete;
  SessionFinisher& operator=(const SessionFinisher&) = delete;

private:
  std::shared_ptr<GitChildSession> session_;
};

// Opens a signing bridge's session for one run and ends it however the run
// ends.
class SigningSession {
public:
  explicit SigningSession(GitAuth* auth) : auth_(auth) {
    if (auth_) auth_->beginSession(std::nullopt);
  }
  ~SigningSession() {
    if (!auth_) return;
    try {
      auth_->endSession();
    } catch (...) {
    }
  }
  SigningSession(const SigningSession&) = delete;
  SigningSession& operator=(const SigningSession&) = delete;

private:
  GitAuth* auth_;
};

// Trimmed in place, so only the text itself is copied: on success this runs
// over the whole output of a listing command. Bytes that are not UTF-8 (a
// Latin-1 branch name in a message) still make a message, or a failure
// would pass for a silent one.
std::optional<std::string> trimmedText(const GitBuffer& buffer) {
  auto result = trimmed(buffer.data());
  if (result.empty()) return std::nullopt;
  return lossyUTF8(result);
}

} // namespace

GitExecRunner::GitExecRunner()
    : stdOutBuffer(std::make_shared<GitBuffer>()), stdErrBuffer(std::make_shared<GitBuffer>()) {}

GitExecRunner::~GitExecRunner() = default;

std::shared_ptr<BufferedProcess::Task> GitExecRunner::currentTask() const {
  std::lock_guard lock(currentTaskLock_);
  return currentTask_.lock();
}

void GitExecRunner::setCurrentTask(const std::shared_ptr<BufferedProcess::Task>& task) {
  std::lock_guard lock(currentTaskLock_);
  currentTask_ = task;
}

std::vector<std::string> GitExecRunner::progressPhases() const { return {}; }

std::optional<Url> GitExecRunner::workingDirectoryURL(GitOperationContext& context) {
  if (auto descriptor = context.effectiveDescriptor()) return descriptor->url;
  return std::nullopt;
}

std::optional<Url> GitExecRunner::gitDirectoryURL(GitOperationContext& context) {
  if (auto descriptor = context.effectiveDescriptor()) return descriptor->gitURL;
  return std::nullopt;
}

std::optional<std::string> GitExecRunner::standardInputData() { return std::nullopt; }

std::set<int> GitExecRunner::successStatuses() const { return {0}; }

void GitExecRunner::checkStatus(int status, const std::optional<std::string>& text) {
  if (text && !successStatuses().contains(status)) throw GitStdError(status, *text);
}

std::vector<double> GitExecRunner::partialProgress() const {
  if (!run_) return std::vector<double>(progressPhases().size(), 0.0);
  return run_->progress.partialProgress();
}

GitEnvironment::Inputs GitExecRunner::environmentInputs(GitOperationContext& context) {
  GitEnvironment::Inputs inputs;
  if (auto shell = Shell::defaultShell(); shell && shell->environment()) inputs.shellEnvironment = *shell->environment();
  inputs.processEnvironment = GitEnvironment::processEnvironment();
  inputs.homeDirectory = GitEnvironment::userHomeDirectory();
  const GitOperationHost* host = context.host();
  if (host) inputs.prefixURL = host->prefixURL();
  if (editor) inputs.editorEnvironment = editor->sessionEnvironment();
  inputs.gitDirectoryURL = gitDirectoryURL(context);
  inputs.workingDirectoryURL = workingDirectoryURL(context);
  const auto* personas = host ? host->personaManager().get() : nullptr;
  if (context.overrideAuthor) inputs.author = context.overrideAuthor;
  else if (personas) inputs.author = personas->currentAuthor();
  if (context.overrideCommitter) inputs.committer = context.overrideCommitter;
  else if (personas) inputs.committer = personas->currentCommitter();
  return inputs;
}

std::map<std::string, std::string> GitExecRunner::environment(GitOperationContext& context) {
  return GitEnvironment::build(environmentInputs(context));
}

GitExecAccess GitExecRunner::access() const { return GitExecAccess::read; }

bool GitExecRunner::needsOwnSession() const { return access() != GitExecAccess::read || signingAuth != nullptr; }

std::map<std::string, std::string> GitExecRunner::childEnvironment(GitOperationContext& context) {
  auto variables = environment(context);
  if (access() == GitExecAccess::read) variables["GIT_OPTIONAL_LOCKS"] = "0";
  if (signingAuth) {
    const auto session = signingAuth->credentialEnvironment();
    for (const auto& [name, value] : session) variables[name] = value;
    // ssh-keygen asks the askpass companion even when a display or terminal
    // seems to be there; gpg hands PINENTRY_USER_DATA through gpg-agent to
    // the pinentry it starts.
    variables["SSH_ASKPASS_REQUIRE"] = "force";
    auto socket = session.find(GitSocketAuth::kSocketVariable);
    auto token = session.find(GitSocketAuth::kTokenVariable);
    if (socket != session.end() && token != session.end())
      variables["PINENTRY_USER_DATA"] = "tavrik-pinentry " + token->second + " " + socket->second;
  }
  return variables;
}

void GitExecRunner::runCommand(GitOperationContext& context) {
  SessionFinisher finisher(editor);
  SigningSession signing(signingAuth.get());
  GitQueueOperation& operation = execOperation();

  std::optional<Url> gitURL;
  if (auto* host = context.host()) gitURL = host->gitBinaryURL();
  if (!gitURL) throw arbor::Error::generic("Git executable not found.");

  auto run = std::make_shared<detail::GitExecRun>();
  run->stdErrBuffer = stdErrBuffer;
  run->outputLog = outputLog;
  run->progress = GitProgress(progressPhases());
  run->operation = operation.weak_from_this();
  run_ = run;

  auto environmentVariables = childEnvironment(context);
  std::vector<std::string> commandLine{"--no-pager"};
  auto operationArguments = arguments(context);
  commandLine.insert(commandLine.end(), std::make_move_iterator(operationArguments.begin()),
                     std::make_move_iterator(operationArguments.end()));

  stdOutBuffer->clear();
  stdErrBuffer->clear();
  auto input = standardInputData();

  BufferedProcess process(*gitURL);
  process.log = commandLog;
  if (auto directory = workingDirectoryURL(context)) process.currentDirectoryURL = *directory;
  process.arguments = std::move(commandLine);
  process.environment = std::move(environmentVariables);
  process.ownSession = needsOwnSession();

  auto onStdOut = [run](std::optional<std::string_view> chunk) {
    if (chunk) run->logChunk("stdout", *chunk);
  };
  BufferedProcess::OutputBlock onStdErr;
  if (run->progress.phases().empty()) {
    onStdErr = [run](std::optional<std::string_view> chunk) {
      if (chunk) run->logChunk("stderr", *chunk);
    };
  } else {
    onStdErr = [run](std::optional<std::string_view> chunk) {
      if (chunk) run->logChunk("stderr", *chunk);
      run->updateProgress();
    };
  }

  auto task = process.launch(input.has_value(), operation.diagnosticIdentifier(), stdOutBuffer, stdErrBuffer,
                             std::move(onStdOut), std::move(onStdErr));
  setCurrentTask(task);
  // A cancel that came before the task was visible to it must still stop git.
  if (operation.isCancelled()) task->interrupt();

  std::exception_ptr inputError;
  if (input) {
    PosixFile* file = task->standardInputFile();
    try {
      file->writeAll(*input);
    } catch (const TavrikError& error) {
      // git stopped reading (it failed, or needed less): its status and
      // output tell what happened, so that is what the caller gets.
      if (error.errnoValue != EPIPE) inputError = std::current_exception();
    }
    try {
      file->close();
    } catch (...) {
      if (!inputError) inputError = std::current_exception();
    }
  }

  int status = task->wait();
  stdErrBuffer->resetOffset();
  stdOutBuffer->resetOffset();
  if (inputError) std::rethrow_exception(inputError);

  // A killed git finished nothing, whatever its status or silence says and
  // whichever statuses the operation accepts.
  if (auto signal = task->terminationSignal()) {
    const char* name = sigabbrev_np(*signal);
    std::string message = "git was killed by signal " + (name ? "SIG" + std::string(name) : std::to_string(*signal));
    if (auto text = trimmedText(*stdErrBuffer)) message += ": " + withoutURLPasswords(*text);
    throw GitStdError(*signal, message);
  }

  // The text is only read for a failure: on success it would copy a listing
  // of tens of megabytes twice for nothing.
  std::optional<std::string> text;
  if (!successStatuses().count(status)) {
    text = trimmedText(*stdErrBuffer);
    if (!text) text = trimmedText(*stdOutBuffer);
    // git names the remote in many of its messages, as it was given.
    if (text) text = withoutURLPasswords(*text);
  }
  checkStatus(status, text);
}

void GitExecRunner::cancelCommand() {
  if (editor) {
    try {
      editor->finishSession();
    } catch (...) {
    }
  }
  if (auto task = currentTask()) task->interrupt();
}

} // namespace tavrik
