#include "Interfaces/Libgit2.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace arbor::detail {

namespace {

std::atomic<bool> initialized{false};

struct LibraryState {
  LibraryState() {
    git_libgit2_init();
    // git trusts its object database on read and checks it in fsck; hashing
    // every object read again costs the history walks a good share of
    // their time.
    // Variadic, so called through its loaded address rather than a
    // forwarding definition.
    const auto options = reinterpret_cast<int (*)(int, ...)>(libgit2Symbol("git_libgit2_opts"));
    options(GIT_OPT_ENABLE_STRICT_HASH_VERIFICATION, 0);
    initialized.store(true, std::memory_order_release);
  }
};

Error::Code codeFor(int rc) {
  switch (rc) {
  case GIT_ENOTFOUND:
    return Error::Code::notFound;
  case GIT_EAMBIGUOUS:
    return Error::Code::ambiguous;
  case GIT_EINVALIDSPEC:
  case GIT_EINVALID:
    return Error::Code::invalid;
  default:
    return Error::Code::generic;
  }
}

} // namespace

std::shared_ptr<void> libraryToken() {
  // A function-local static is initialised exactly once even with racing
  // first callers. The library is never shut down: at exit that would pull
  // its per-thread state from under the queue's detached worker threads,
  // which may still be alive (and then leak it), and the system reclaims
  // everything anyway.
  static LibraryState* const state = new LibraryState();
  static const std::shared_ptr<void> token(std::shared_ptr<void>(), state);
  return token;
}

bool libraryInitialized() { return initialized.load(std::memory_order_acquire); }

void throwGitError(int rc, const char* operation) {
  // libgit2 keeps its last error per thread: copy it now, before any other
  // call on this thread can replace it.
  const git_error* last = git_error_last();
  std::string message;
  if (last && last->message && *last->message) {
    message = last->message;
  } else {
    message = std::string(operation) + " failed (" + std::to_string(rc) + ")";
  }
  git_error_clear();
  throw Error(std::move(message), codeFor(rc));
}

Signature toSignature(const git_signature* signature) {
  Signature out;
  if (!signature) return out;
  if (signature->name) out.name = signature->name;
  if (signature->email) out.email = signature->email;
  out.date = tavrik::Date(std::chrono::seconds(signature->when.time));
  out.offsetMinutes = signature->when.offset;
  return out;
}

} // namespace arbor::detail
