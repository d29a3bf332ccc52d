#include "tavrik/Operation/GitOperation.h"

#include "tavrik/Operation/GitNotification.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/TavrikError.h"

#include <cstdio>
#include <cstdlib>

namespace tavrik {

GitOperationContext::GitOperationContext(std::shared_ptr<GitQueue> queue, std::shared_ptr<GitOperationHost> host,
                                         std::optional<GitRepositoryDescriptor> overrideDescriptor)
    : queue(std::move(queue)), overrideDescriptor(std::move(overrideDescriptor)), host_(std::move(host)) {}

GitOperationContext::GitOperationContext(std::nullptr_t, std::optional<GitRepositoryDescriptor> overrideDescriptor)
    : GitOperationContext(nullptr, nullptr, std::move(overrideDescriptor)) {}

std::shared_ptr<GitOperationContext> GitOperationContext::copy() const {
  return std::make_shared<GitOperationContext>(*this);
}

GitOperationContext GitOperationContext::withDescriptor(std::optional<GitRepositoryDescriptor> descriptor) const {
  return GitOperationContext(queue, host_, std::move(descriptor));
}

const GitRepositoryDescriptor* GitOperationContext::effectiveDescriptor() const {
  if (overrideDescriptor) return &*overrideDescriptor;
  if (host_ && host_->descriptor()) return &*host_->descriptor();
  return nullptr;
}

const GitRepositoryDescriptor& GitOperationContext::requireDescriptor() const {
  if (auto descriptor = effectiveDescriptor()) return *descriptor;
  throw TavrikError::invalidRepository();
}

namespace detail {

void runFlowSetWorking(GitQueueOperation& operation) {
  if (auto task = operation.task()) task->setWorking();
}

void runFlowSetDone(GitQueueOperation& operation) {
  if (auto task = operation.task()) task->setDone();
}

void runFlowPrepareNotification(GitOperationHost& host, GitNotification& notification) {
  auto log = Log::defaultLog();
  if (log.isEnabled(LogLevel::debug))
    log.debug("notification: preparing %s", notification.logDescription().c_str());
  notification.prepare(host);
}

void runFlowReportOutcome(GitOperationHost& host, GitQueueOperation& operation,
                          const std::shared_ptr<GitNotification>& notification, const std::exception_ptr& error) {
  if (error) {
    // A cancelled operation's failure is expected; it still reaches the future.
    if (!operation.isCancelled())
      Log::defaultLog().info("git: %s failed: %s", operation.typeName().c_str(), localizedDescription(error).c_str());
    return;
  }
  if (notification) host.addNotification(notification);
}

void runFlowRefreshView(GitOperationHost& host, GitAspects aspects) {
  try {
    host.updateViewFor(aspects);
  } catch (...) {
    // Only allocation can fail here; the run must still settle its future.
    Log::defaultLog().error("queue: could not refresh %s: %s", aspects.debugDescription().c_str(),
                            localizedDescription(std::current_exception()).c_str());
  }
}

void runFlowWillStart(GitQueueOperation& operation) {
  if (auto host = operation.host()) host->operationWillStart(operation.shared_from_this());
}

std::any runFlowJournalBefore(GitOperationHost& host, GitQueueOperation& operation, GitOperationContext& context) {
  const auto scope = operation.journalScope();
  if (scope == GitJournalScope::none || !operation.isJournaled()) return {};
  auto journal = host.journal();
  if (!journal) return {};
  return journal->operationWillRun(operation, scope, context);
}

void runFlowJournalAfter(GitOperationHost& host, GitQueueOperation& operation, const std::any& token,
                         GitOperationContext& context) {
  if (!token.has_value()) return;
  auto journal = host.journal();
  if (!journal) return;
  try {
    journal->operationDidRun(token, context);
  } catch (const std::exception& error) {
    // The operation's own outcome stands; the entry stays incomplete, which
    // an undo still restores from.
    host.log().error("git: %s: the undo journal could not record the state after it: %s",
                     operation.diagnosticIdentifier().c_str(), error.what());
  }
}

void runFlowDidFinish(GitQueueOperation& operation, const std::exception_ptr& error) {
  if (auto host = operation.host()) host->operationDidFinish(operation.shared_from_this(), error);
}

void methodNotImplemented(const char* file, int line) {
  std::fprintf(stderr, "Fatal error: method not implemented: file %s, line %d\n", file, line);
  std::abort();
}

} // namespace detail
} // namespace tavrik
