// A file's contents read from the object database; keeps its repository
// open.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"

#include <memory>
#include <string_view>

struct git_blob;

namespace arbor {

class Blob {
public:
  /// Reads the blob `oid`. Throws `arbor::Error` (code `notFound` when the
  /// object is missing or is not a blob).
  static Blob lookup(const Oid& oid, const Repo& repo);

  /// The bytes; valid while the blob lives.
  std::string_view content() const;
  /// git's guess: a NUL among the first 8000 bytes.
  bool isBinary() const;

private:
  struct Deleter {
    void operator()(git_blob* blob) const noexcept;
  };
  Blob(Repo repo, git_blob* blob) : repo_(std::move(repo)), blob_(blob) {}
  Repo repo_;
  std::unique_ptr<git_blob, Deleter> blob_;
};

} // namespace arbor
