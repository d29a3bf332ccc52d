#include "Interfaces/Plumbing.h"

#include "Interfaces/Libgit2.h"

#include <algorithm>
#include <cstring>

namespace arbor::plumbing {

namespace {

using detail::check;

template <class T, void (*Free)(T*)> using Owned = std::unique_ptr<T, detail::Freer<T, Free>>;
using IteratorPtr = Owned<git_reference_iterator, git_reference_iterator_free>;
using TransactionPtr = Owned<git_transaction, git_transaction_free>;
using OdbPtr = Owned<git_odb, git_odb_free>;
using IndexPtr = Owned<git_index, git_index_free>;
using TreePtr = Owned<git_tree, git_tree_free>;
using BlobPtr = Owned<git_blob, git_blob_free>;

} // namespace

namespace {

// Calls visit(name, resolved ref, symbolic target or null) for each ref
// whose name starts with `prefix`, as for-each-ref walks them.
template <class Visit> void visitRefs(const Repo& repo, std::string_view prefix, Visit visit) {
  if (repo.gitDirectoryPath() != repo.commonDirectoryPath())
    throw Error("the refs of a linked worktree are listed by git", Error::Code::invalid);
  git_reference_iterator* raw = nullptr;
  const std::string glob = std::string(prefix) + "*";
  check(git_reference_iterator_glob_new(&raw, repo.handle(), glob.c_str()), "git_reference_iterator_glob_new");
  IteratorPtr iterator(raw);
  git_reference* next = nullptr;
  int rc = 0;
  while ((rc = git_reference_next(&next, raw)) == 0) {
    detail::ReferencePtr ref(next);
    const char* name = git_reference_name(next);
    if (std::strncmp(name, prefix.data(), prefix.size()) != 0) continue; // the glob's '*' may match less strictly
    if (git_reference_type(next) == GIT_REFERENCE_SYMBOLIC) {
      git_reference* resolved = nullptr;
      if (git_reference_resolve(&resolved, next) != 0) {
        git_error_clear(); // a symbolic ref to nothing: for-each-ref leaves it out too
        continue;
      }
      detail::ReferencePtr owner(resolved);
      visit(name, resolved, git_reference_symbolic_target(next));
    } else if (git_reference_target(next)) {
      visit(name, next, static_cast<const char*>(nullptr));
    }
  }
  if (rc != GIT_ITEROVER) check(rc, "git_reference_next");
}

template <class Record> void sortByName(std::vector<Record>& refs) {
  std::sort(refs.begin(), refs.end(), [](const Record& a, const Record& b) { return a.name < b.name; });
}

} // namespace

std::vector<RefRecord> forEachRef(const Repo& repo, std::string_view prefix) {
  std::vector<RefRecord> refs;
  visitRefs(repo, prefix, [&](const char* name, git_reference* resolved, const char*) {
    refs.push_back({name, detail::toOid(git_reference_target(resolved))});
  });
  sortByName(refs);
  return refs;
}

std::vector<PeeledRefRecord> forEachPeeledRef(const Repo& repo) {
  git_odb* rawOdb = nullptr;
  check(git_repository_odb(&rawOdb, repo.handle()), "git_repository_odb");
  OdbPtr odb(rawOdb);
  std::vector<PeeledRefRecord> refs;
  visitRefs(repo, "refs/", [&](const char* name, git_reference* resolved, const char* symbolicTarget) {
    const git_oid* id = git_reference_target(resolved);
    PeeledRefRecord record{name, detail::toOid(id), detail::toOid(id), std::nullopt};
    if (symbolicTarget) record.symbolicTarget = symbolicTarget;
    if (const git_oid* peeled = git_reference_target_peel(resolved)) {
      record.peeled = detail::toOid(peeled);
    } else {
      size_t size = 0;
      git_object_t type = GIT_OBJECT_INVALID;
      if (git_odb_read_header(&size, &type, rawOdb, id) != 0) {
        git_error_clear(); // a missing object: the ref still names it
      } else if (type == GIT_OBJECT_TAG) {
        git_object* object = nullptr;
        if (git_reference_peel(&object, resolved, GIT_OBJECT_ANY) == 0) {
          detail::ObjectPtr owner(object);
          record.peeled = detail::toOid(git_object_id(object));
        } else {
          git_error_clear();
        }
      }
    }
    refs.push_back(std::move(record));
  });
  sortByName(refs);
  return refs;
}

std::optional<std::vector<IndexRecord>> readIndexFile(const std::string& path) {
  (void)detail::libraryToken();
  git_index* raw = nullptr;
  if (git_index_open(&raw, path.c_str()) != 0) {
    git_error_clear();
    return std::nullopt;
  }
  IndexPtr index(raw);
  const size_t count = git_index_entrycount(raw);
  std::vector<IndexRecord> records;
  records.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const git_index_entry* entry = git_index_get_byindex(raw, i);
    if (!entry) return std::nullopt;
    records.push_back({.mode = entry->mode,
                       .id = detail::toOid(&entry->id),
                       .stage = GIT_INDEX_ENTRY_STAGE(entry),
                       .path = entry->path,
                       .intentToAdd = (entry->flags_extended & GIT_INDEX_ENTRY_INTENT_TO_ADD) != 0,
                       .skipWorktree = (entry->flags_extended & GIT_INDEX_ENTRY_SKIP_WORKTREE) != 0,
                       .assumeUnchanged = (entry->flags & GIT_INDEX_ENTRY_VALID) != 0});
  }
  return records;
}

Oid writeObject(const Repo& repo, std::string_view type, std::string_view bytes) {
  git_odb* raw = nullptr;
  check(git_repository_odb(&raw, repo.handle()), "git_repository_odb");
  OdbPtr odb(raw);
  const std::string typeName(type);
  git_oid id;
  check(git_odb_write(&id, raw, bytes.data(), bytes.size(), git_object_string2type(typeName.c_str())), "git_odb_write");
  return detail::toOid(&id);
}

bool hasObject(const Repo& repo, const Oid& id) {
  git_odb* raw = nullptr;
  check(git_repository_odb(&raw, repo.handle()), "git_repository_odb");
  OdbPtr odb(raw);
  git_oid oid = detail::toGitOid(id);
  return git_odb_exists(raw, &oid) == 1;
}

std::string readBlob(const Repo& repo, const Oid& id) {
  git_oid oid = detail::toGitOid(id);
  git_blob* raw = nullptr;
  check(git_blob_lookup(&raw, repo.handle(), &oid), "git_blob_lookup");
  BlobPtr blob(raw);
  return std::string(static_cast<const char*>(git_blob_rawcontent(raw)), size_t(git_blob_rawsize(raw)));
}

std::string treeBytes(std::vector<TreeEntry> entries) {
  // git orders a tree's entries by name, a folder's as if it ended in "/".
  auto key = [](const TreeEntry& entry) { return entry.mode == 040000 ? entry.name + "/" : entry.name; };
  std::sort(entries.begin(), entries.end(), [&](const TreeEntry& a, const TreeEntry& b) { return key(a) < key(b); });
  std::string bytes;
  for (const auto& entry : entries) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o ", entry.mode);
    bytes += mode;
    bytes += entry.name;
    bytes += '\0';
    bytes.append(reinterpret_cast<const char*>(entry.id.raw()), Oid::kSize);
  }
  return bytes;
}

std::vector<TreeEntry> readTree(const Repo& repo, const Oid& id) {
  git_oid oid = detail::toGitOid(id);
  git_tree* raw = nullptr;
  check(git_tree_lookup(&raw, repo.handle(), &oid), "git_tree_lookup");
  TreePtr tree(raw);
  std::vector<TreeEntry> entries;
  for (size_t i = 0, count = git_tree_entrycount(raw); i < count; ++i) {
    const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
    entries.push_back({git_tree_entry_name(entry), uint32_t(git_tree_entry_filemode(entry)),
                       detail::toOid(git_tree_entry_id(entry))});
  }
  return entries;
}

CommitRecord readCommit(const Repo& repo, const Oid& id) {
  git_oid oid = detail::toGitOid(id);
  git_commit* raw = nullptr;
  check(git_commit_lookup(&raw, repo.handle(), &oid), "git_commit_lookup");
  detail::CommitPtr commit(raw);
  CommitRecord record{detail::toOid(git_commit_tree_id(raw)), {}, {}};
  for (unsigned i = 0, count = git_commit_parentcount(raw); i < count; ++i)
    if (const git_oid* parent = git_commit_parent_id(raw, i)) record.parents.push_back(detail::toOid(parent));
  if (const char* message = git_commit_message(raw)) record.message = message;
  return record;
}

std::optional<Oid> resolveRef(const Repo& repo, const std::string& name) {
  git_oid id;
  const int rc = git_reference_name_to_id(&id, repo.handle(), name.c_str());
  if (rc == GIT_ENOTFOUND) {
    git_error_clear();
    return std::nullopt;
  }
  check(rc, "git_reference_name_to_id");
  return detail::toOid(&id);
}

namespace {

bool refExists(const Repo& repo, const std::string& name, const std::vector<RefUpdate>& updates) {
  for (const auto& update : updates)
    if (update.name == name && update.newId) return true;
  git_reference* raw = nullptr;
  const int rc = git_reference_lookup(&raw, repo.handle(), name.c_str());
  detail::ReferencePtr owner(raw);
  if (rc == GIT_ENOTFOUND || rc == GIT_EINVALIDSPEC) {
    git_error_clear();
    return false;
  }
  check(rc, "git_reference_lookup");
  return true;
}

void refuseFolderClash(const Repo& repo, const std::vector<RefUpdate>& updates, const std::string& name) {
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
    if (const auto folder = name.substr(0, slash); refExists(repo, folder, updates))
      throw LeaseError("cannot create " + name + ": " + folder + " exists");
  const std::string folder = name + "/";
  for (const auto& update : updates)
    if (update.newId && update.name.starts_with(folder))
      throw LeaseError("cannot create " + name + ": " + update.name + " is created too");
  git_reference_iterator* raw = nullptr;
  check(git_reference_iterator_glob_new(&raw, repo.handle(), (folder + "*").c_str()), "git_reference_iterator_glob_new");
  IteratorPtr iterator(raw);
  git_reference* next = nullptr;
  int rc = 0;
  while ((rc = git_reference_next(&next, raw)) == 0) {
    detail::ReferencePtr ref(next);
    const std::string inside = git_reference_name(next);
    if (inside.starts_with(folder)) throw LeaseError("cannot create " + name + ": " + inside + " exists");
  }
  if (rc != GIT_ITEROVER) check(rc, "git_reference_next");
}

} // namespace

void updateRefs(const Repo& repo, const std::vector<RefUpdate>& updates) {
  if (updates.empty()) return;
  git_transaction* raw = nullptr;
  check(git_transaction_new(&raw, repo.handle()), "git_transaction_new");
  // Freed unCommitted, the transaction drops its locks and changes nothing.
  TransactionPtr transaction(raw);
  std::vector<bool> present;
  for (const auto& update : updates) {
    check(git_transaction_lock_ref(raw, update.name.c_str()), "git_transaction_lock_ref");
    // Read under the lock: nothing can move the ref between this and the write.
    git_reference* current = nullptr;
    const int rc = git_reference_lookup(&current, repo.handle(), update.name.c_str());
    detail::ReferencePtr owner(current);
    if (rc != 0 && rc != GIT_ENOTFOUND) check(rc, "git_reference_lookup");
    git_error_clear();
    if (current && git_reference_type(current) != GIT_REFERENCE_DIRECT)
      throw LeaseError(update.name + " is a symbolic ref");
    const Oid now = current ? detail::toOid(git_reference_target(current)) : Oid::zero;
    if (update.oldId && *update.oldId != now)
      throw LeaseError("the ref " + update.name + " is at " + now.string() + ", not " + update.oldId->string());
    present.push_back(current != nullptr);
  }
  // A new name whose folder is a ref, or that is the folder of one, fails
  // only as the transaction is written, with some refs already moved: it is
  // refused here, as git refuses it, even when the other ref goes in the
  // same transaction.
  for (size_t i = 0; i < updates.size(); ++i)
    if (updates[i].newId && !present[i]) refuseFolderClash(repo, updates, updates[i].name);
  bool changes = false;
  for (size_t i = 0; i < updates.size(); ++i) {
    const auto& update = updates[i];
    if (update.newId) {
      git_oid id = detail::toGitOid(*update.newId);
      check(git_transaction_set_target(raw, update.name.c_str(), &id, nullptr, nullptr), "git_transaction_set_target");
      changes = true;
    } else if (present[i]) {
      check(git_transaction_remove(raw, update.name.c_str()), "git_transaction_remove");
      changes = true;
    }
  }
  if (!changes) return;
  check(git_transaction_commit(raw), "git_transaction_commit");
  // git drops a deleted ref's reflog; libgit2's transaction keeps it, where
  // it would block a ref named below it and join the next ref of its name.
  for (size_t i = 0; i < updates.size(); ++i) {
    if (updates[i].newId || !present[i]) continue;
    const int rc = git_reflog_delete(repo.handle(), updates[i].name.c_str());
    if (rc != 0 && rc != GIT_ENOTFOUND) check(rc, "git_reflog_delete");
    git_error_clear();
  }
}

void setHeadSymbolic(const Repo& repo, const std::string& target) {
  git_reference* raw = nullptr;
  check(git_reference_symbolic_create(&raw, repo.handle(), "HEAD", target.c_str(), 1, nullptr),
        "git_reference_symbolic_create");
  git_reference_free(raw);
}

void setHeadDetached(const Repo& repo, const Oid& id) {
  git_oid oid = detail::toGitOid(id);
  git_reference* raw = nullptr;
  check(git_reference_create(&raw, repo.handle(), "HEAD", &oid, 1, nullptr), "git_reference_create");
  git_reference_free(raw);
}

} // namespace arbor::plumbing
