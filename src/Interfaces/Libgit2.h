// Shared plumbing of the libgit2-backed object-model layer: library
// initialisation, error conversion and value conversions.
#pragma once

#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Signature.h"

#include <git2.h>
#include <memory>
#include <string>

namespace arbor::detail {

/// Keeps libgit2 initialised. The first call initialises it (thread-safe);
/// every opened repository holds the returned token, so the library is shut
/// down only after the process-wide token and the last repository are gone.
std::shared_ptr<void> libraryToken();

/// Whether `libraryToken` has set the library up; any thread.
bool libraryInitialized();

/// The function `name` of libgit2, which is loaded on first use (see
/// Libgit2Loader.cpp). Throws `arbor::Error` when the library or the
/// function cannot be found.
void* libgit2Symbol(const char* name);

/// Throws `arbor::Error` with git_error_last()'s text (read here, on the
/// failing thread) and a code derived from `rc`.
[[noreturn]] void throwGitError(int rc, const char* operation);

inline void check(int rc, const char* operation) {
  if (rc < 0) throwGitError(rc, operation);
}

inline Oid toOid(const git_oid* oid) { return Oid::fromRaw(oid->id); }

inline git_oid toGitOid(const Oid& oid) {
  git_oid out;
  git_oid_fromraw(&out, oid.raw());
  return out;
}

Signature toSignature(const git_signature* signature);

struct RepoHandle {
  std::shared_ptr<void> token;
  std::unique_ptr<git_repository, decltype(&git_repository_free)> repo{nullptr, &git_repository_free};
};

template <class T, void (*Free)(T*)> struct Freer {
  void operator()(T* p) const noexcept { Free(p); }
};
using ReferencePtr = std::unique_ptr<git_reference, Freer<git_reference, git_reference_free>>;
using ObjectPtr = std::unique_ptr<git_object, Freer<git_object, git_object_free>>;
using CommitPtr = std::unique_ptr<git_commit, Freer<git_commit, git_commit_free>>;

/// Owns a git_buf's memory.
struct Buf {
  git_buf buf = GIT_BUF_INIT;
  ~Buf() { git_buf_dispose(&buf); }
  std::string string() const { return buf.ptr ? std::string(buf.ptr, buf.size) : std::string(); }
};

} // namespace arbor::detail
