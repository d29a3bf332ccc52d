#include "tavrik/Interfaces/Reflog.h"

#include "Interfaces/Libgit2.h"
#include "tavrik/Interfaces/Repo.h"

namespace arbor {

Reflog Reflog::read(const std::string& name, const Repo& repo) {
  git_reflog* raw = nullptr;
  detail::check(git_reflog_read(&raw, repo.handle(), name.c_str()), "git_reflog_read");
  std::unique_ptr<git_reflog, detail::Freer<git_reflog, git_reflog_free>> reflog(raw);

  size_t count = git_reflog_entrycount(raw);
  std::vector<ReflogEntry> entries;
  entries.reserve(count);
  // Index 0 is the most recent entry, as `git reflog` lists them.
  for (size_t i = 0; i < count; ++i) {
    const git_reflog_entry* e = git_reflog_entry_byindex(raw, i);
    if (!e) continue;
    ReflogEntry entry;
    entry.oldId = detail::toOid(git_reflog_entry_id_old(e));
    entry.newId = detail::toOid(git_reflog_entry_id_new(e));
    entry.committer = detail::toSignature(git_reflog_entry_committer(e));
    if (const char* message = git_reflog_entry_message(e)) entry.message = message;
    entries.push_back(std::move(entry));
  }
  return Reflog(name, std::move(entries));
}

const ReflogEntry& Reflog::entry(size_t index) const {
  if (index >= entries_.size())
    throw Error("reflog '" + name_ + "' has no entry " + std::to_string(index), Error::Code::notFound);
  return entries_[index];
}

} // namespace arbor
