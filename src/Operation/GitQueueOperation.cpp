#include "tavrik/Operation/GitQueueOperation.h"

#include "tavrik/Operation/GitTask.h"

#include <cxxabi.h>

#include <cctype>
#include <cstdlib>
#include <shared_mutex>
#include <typeindex>
#include <unordered_map>

namespace tavrik {

GitQueueOperation::GitQueueOperation() : uuid_(Uuid::random()) {}

GitQueueOperation::~GitQueueOperation() = default;

std::optional<std::string> GitQueueOperation::title() const { return std::nullopt; }

bool GitQueueOperation::needsIndexLock() const { return false; }

GitJournalScope GitQueueOperation::journalScope() const { return GitJournalScope::none; }

std::optional<std::vector<std::string>> GitQueueOperation::journalPaths() const { return std::nullopt; }

std::shared_ptr<GitTask> GitQueueOperation::task() const {
  if (!_task || isFinished() || !title()) return nullptr;
  return _task;
}

std::shared_ptr<GitNotification> GitQueueOperation::notification() { return nullptr; }

void GitQueueOperation::run() {}

std::shared_ptr<GitQueue> GitQueueOperation::queue() const {
  std::lock_guard lock(queueLock_);
  return queue_.lock();
}

std::shared_ptr<GitOperationHost> GitQueueOperation::host() const {
  std::lock_guard lock(queueLock_);
  return host_.lock();
}

void GitQueueOperation::setQueue(const std::shared_ptr<GitQueue>& queue,
                                 const std::shared_ptr<GitOperationHost>& host) {
  std::lock_guard lock(queueLock_);
  queue_ = queue;
  host_ = host;
}

std::string GitQueueOperation::typeName() const { return detail::unqualifiedTypeName(typeid(*this)); }

std::string GitQueueOperation::diagnosticIdentifier() const { return uuid_.uuidString() + "-" + typeName(); }

void GitQueueOperation::cancel() { Operation::cancel(); }

void GitQueueOperation::prepareOnce() {
  std::lock_guard lock(prepareLock_);
  if (prepared_) return;
  prepared_ = true;
  didMakeOperation();
}

void GitQueueOperation::didMakeOperation() {
  _task = GitTask::create(title(), weak_from_this());
  // Weak, so that a queued block never keeps its own operation alive.
  addExecutionBlock([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->run();
  });
}

namespace detail {
namespace {

std::string stripQualifiers(std::string_view name) {
  static constexpr std::string_view kAnonymous = "(anonymous namespace)::";
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    if (name.substr(i, kAnonymous.size()) == kAnonymous) {
      i += kAnonymous.size();
      continue;
    }
    if (name.substr(i, 2) == "::") {
      // Drop the qualifier just written, template arguments included.
      size_t start = out.size();
      if (start > 0 && out[start - 1] == '>') {
        int depth = 0;
        while (start > 0) {
          char c = out[--start];
          if (c == '>') ++depth;
          if (c == '<' && --depth == 0) break;
        }
      }
      while (start > 0 && (std::isalnum(static_cast<unsigned char>(out[start - 1])) || out[start - 1] == '_'))
        --start;
      out.erase(start);
      i += 2;
      continue;
    }
    out += name[i++];
  }
  return out;
}

} // namespace

std::string unqualifiedTypeName(const std::type_info& type) {
  // Demangling allocates and walks the whole name; each type is done once.
  // The cache is never destroyed: worker threads of a queue may still name
  // their operations while the process runs its exit-time destructors.
  static auto& mutex = *new std::shared_mutex;
  static auto& cache = *new std::unordered_map<std::type_index, std::string>;
  {
    std::shared_lock lock(mutex);
    if (auto it = cache.find(type); it != cache.end()) return it->second;
  }
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = stripQualifiers(status == 0 && demangled ? demangled : type.name());
  std::free(demangled);
  std::unique_lock lock(mutex);
  cache.emplace(type, name);
  return name;
}

} // namespace detail
} // namespace tavrik
