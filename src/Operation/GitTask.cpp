#include "tavrik/Operation/GitTask.h"

#include "tavrik/Operation/GitQueueOperation.h"
#include "tavrik/Util/StringUtilities.h"

namespace tavrik {

GitTask::GitTask(std::optional<std::string> title, std::weak_ptr<GitQueueOperation> parentOperation)
    : title_(title ? std::optional(withoutURLPasswords(*title)) : std::nullopt), parentOperation_(std::move(parentOperation)) {}

std::shared_ptr<GitTask> GitTask::create(std::optional<std::string> title,
                                         std::weak_ptr<GitQueueOperation> parentOperation) {
  return std::make_shared<GitTask>(std::move(title), std::move(parentOperation));
}

std::optional<std::string> GitTask::string() const {
  std::lock_guard lock(_lock);
  return _string;
}

std::optional<int> GitTask::progress() const {
  std::lock_guard lock(_lock);
  return _progress;
}

std::optional<double> GitTask::doubleValue() const {
  auto p = progress();
  if (!p) return std::nullopt;
  return static_cast<double>(*p);
}

std::shared_ptr<GitTaskDelegate> GitTask::delegate() const {
  std::lock_guard lock(_lock);
  return _delegate.lock();
}

void GitTask::setDelegate(const std::shared_ptr<GitTaskDelegate>& delegate) {
  std::lock_guard lock(_lock);
  _delegate = delegate;
}

void GitTask::setString(std::optional<std::string> value) {
  // git's status lines may name the remote, and a task string is shown.
  if (value) value = withoutURLPasswords(*value);
  update(std::move(value), std::nullopt);
}

void GitTask::setProgress(std::optional<int> value) { update(std::nullopt, value); }

void GitTask::setWorking() { update(std::optional<std::string>("Working..."), std::optional<int>(0)); }

void GitTask::setDone() { update(std::optional<std::string>("Done."), std::optional<int>(100)); }

void GitTask::update(std::optional<std::optional<std::string>> string, std::optional<std::optional<int>> progress) {
  int changes = 0;
  std::shared_ptr<GitTaskDelegate> delegate;
  {
    std::lock_guard lock(_lock);
    if (string && *string != _string) {
      _string = std::move(*string);
      ++changes;
    }
    if (progress && *progress != _progress) {
      _progress = *progress;
      ++changes;
    }
    if (changes == 0) return;
    delegate = _delegate.lock();
  }
  // Outside the lock: the delegate typically reads the task back.
  auto self = weak_from_this().lock();
  if (!delegate || !self) return;
  for (int i = 0; i < changes; ++i) delegate->gitTaskDidChange(self);
}

bool GitTask::isValid() const {
  auto parent = parentOperation_.lock();
  return parent && !parent->isFinished();
}

void GitTask::cancel() {
  if (auto parent = parentOperation_.lock()) parent->cancel();
}

} // namespace tavrik
