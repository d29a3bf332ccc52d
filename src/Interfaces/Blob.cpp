#include "tavrik/Interfaces/Blob.h"

#include "Interfaces/Libgit2.h"

namespace arbor {

void Blob::Deleter::operator()(git_blob* blob) const noexcept { git_blob_free(blob); }

Blob Blob::lookup(const Oid& oid, const Repo& repo) {
  git_oid id = detail::toGitOid(oid);
  git_blob* raw = nullptr;
  detail::check(git_blob_lookup(&raw, repo.handle(), &id), "git_blob_lookup");
  return Blob(repo, raw);
}

std::string_view Blob::content() const {
  return {static_cast<const char*>(git_blob_rawcontent(blob_.get())), static_cast<size_t>(git_blob_rawsize(blob_.get()))};
}

bool Blob::isBinary() const { return git_blob_is_binary(blob_.get()) != 0; }

} // namespace arbor
