// Reading loose objects with a bound on every step. libgit2's own loose
// reader can spin for ever on a file cut short in the middle of its zlib
// stream, so the repositories this layer opens read loose objects through
// `installLooseObjectReader` instead: a corrupt object is an error, and no
// object inflates to more than its header says.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

struct git_repository;

namespace arbor::detail {

/// What a loose object's header says: "blob", "tree", "commit" or "tag",
/// and the size of the contents.
struct LooseObjectHeader {
  std::string type;
  size_t size = 0;
};

/// Gives the buffer the contents go into: `size` bytes, never more.
using LooseObjectAllocate = std::function<char*(size_t size)>;

/// Inflates the bytes of a loose object file. With `allocate`, inflates the
/// whole object into the buffer it gives and checks that the stream ends
/// exactly there (followed by nothing, except for a blob, as git reads
/// them); without, reads the header only. Throws `arbor::Error`
/// (code `invalid`) for a file that is not a well-formed object: a broken or
/// truncated stream, an unknown type, a size that does not match the
/// contents or that no file of this length can inflate to.
LooseObjectHeader inflateLooseObject(std::string_view file, const LooseObjectAllocate& allocate);

/// Puts the bounded reader in front of libgit2's loose backend for the
/// repository's object directory and the alternates it lists. Throws
/// `arbor::Error` when libgit2 refuses the backend.
void installLooseObjectReader(git_repository* repo);

} // namespace arbor::detail
