// libgit2 is loaded on first use rather than by the dynamic loader at
// start-up: with its TLS, SSH and Kerberos dependencies it is a dozen shared
// libraries, and most of the client's verbs run git only. Every libgit2
// function the engine calls is defined here under its own name, with the
// parameter list of libgit2's header (the compiler rejects a definition
// that differs from the declaration), and forwards to the function of the
// library opened with dlopen. Call sites stay plain libgit2 calls.
//
// A function not listed here fails to link, which is how a new call is
// noticed: add a line for it.
#include "Interfaces/Libgit2.h"

#include <git2/sys/odb_backend.h>

#include <dlfcn.h>

#include <mutex>
#include <string>

#ifndef TAVRIK_LIBGIT2_SONAME
#error "TAVRIK_LIBGIT2_SONAME names the libgit2 shared library to open"
#endif

namespace arbor::detail {

namespace {

struct LoadedLibrary {
  void* handle = nullptr;
  std::string failure;
};

const LoadedLibrary& loadedLibrary() {
  static const LoadedLibrary library = [] {
    LoadedLibrary out;
    out.handle = dlopen(TAVRIK_LIBGIT2_SONAME, RTLD_LAZY | RTLD_LOCAL);
    if (!out.handle) {
      const char* reason = dlerror();
      out.failure = std::string("cannot load the object-database library " TAVRIK_LIBGIT2_SONAME ": ") +
                    (reason ? reason : "unknown reason");
    }
    return out;
  }();
  return library;
}

} // namespace

void* libgit2Symbol(const char* name) {
  const LoadedLibrary& library = loadedLibrary();
  if (!library.handle) throw Error(library.failure, Error::Code::generic);
  // dlsym on the library's own handle: its definition, never ours.
  void* symbol = dlsym(library.handle, name);
  if (!symbol) {
    throw Error(std::string("the object-database library " TAVRIK_LIBGIT2_SONAME " has no function ") + name,
                Error::Code::generic);
  }
  return symbol;
}

} // namespace arbor::detail

#define FORWARD(Return, name, parameters, arguments)                                                             \
  extern "C" Return name parameters {                                                                            \
    static const auto real = reinterpret_cast<decltype(&::name)>(::arbor::detail::libgit2Symbol(#name));         \
    return real arguments;                                                                                       \
  }

FORWARD(void, git_blob_free, (git_blob *blob), (blob))
FORWARD(int, git_blob_is_binary, (const git_blob *blob), (blob))
FORWARD(int, git_blob_lookup, (git_blob **blob, git_repository *repo, const git_oid *id), (blob, repo, id))
FORWARD(const void *, git_blob_rawcontent, (const git_blob *blob), (blob))
FORWARD(git_object_size_t, git_blob_rawsize, (const git_blob *blob), (blob))
FORWARD(int, git_branch_upstream_name, (git_buf *out, git_repository *repo, const char *refname), (out, repo, refname))
FORWARD(void, git_buf_dispose, (git_buf *buffer), (buffer))
FORWARD(const git_signature *, git_commit_author, (const git_commit *commit), (commit))
FORWARD(const git_signature *, git_commit_committer, (const git_commit *commit), (commit))
FORWARD(void, git_commit_free, (git_commit *commit), (commit))
FORWARD(const git_oid *, git_commit_id, (const git_commit *commit), (commit))
FORWARD(int, git_commit_lookup, (git_commit **commit, git_repository *repo, const git_oid *id), (commit, repo, id))
FORWARD(const char *, git_commit_message, (const git_commit *commit), (commit))
FORWARD(const git_oid *, git_commit_parent_id, (const git_commit *commit, unsigned int n), (commit, n))
FORWARD(unsigned int, git_commit_parentcount, (const git_commit *commit), (commit))
FORWARD(const git_oid *, git_commit_tree_id, (const git_commit *commit), (commit))
FORWARD(void, git_config_free, (git_config *cfg), (cfg))
FORWARD(int, git_config_get_bool, (int *out, const git_config *cfg, const char *name), (out, cfg, name))
FORWARD(int, git_config_get_multivar_foreach, (const git_config *cfg, const char *name, const char *regexp, git_config_foreach_cb callback, void *payload), (cfg, name, regexp, callback, payload))
FORWARD(int, git_config_get_string_buf, (git_buf *out, const git_config *cfg, const char *name), (out, cfg, name))
FORWARD(int, git_diff_blobs, (const git_blob *old_blob, const char *old_as_path, const git_blob *new_blob, const char *new_as_path, const git_diff_options *options, git_diff_file_cb file_cb, git_diff_binary_cb binary_cb, git_diff_hunk_cb hunk_cb, git_diff_line_cb line_cb, void *payload), (old_blob, old_as_path, new_blob, new_as_path, options, file_cb, binary_cb, hunk_cb, line_cb, payload))
FORWARD(int, git_diff_buffers, (const void *old_buffer, size_t old_len, const char *old_as_path, const void *new_buffer, size_t new_len, const char *new_as_path, const git_diff_options *options, git_diff_file_cb file_cb, git_diff_binary_cb binary_cb, git_diff_hunk_cb hunk_cb, git_diff_line_cb line_cb, void *payload), (old_buffer, old_len, old_as_path, new_buffer, new_len, new_as_path, options, file_cb, binary_cb, hunk_cb, line_cb, payload))
FORWARD(int, git_diff_find_options_init, (git_diff_find_options *opts, unsigned int version), (opts, version))
FORWARD(int, git_diff_find_similar, (git_diff *diff, const git_diff_find_options *options), (diff, options))
FORWARD(int, git_diff_foreach, (git_diff *diff, git_diff_file_cb file_cb, git_diff_binary_cb binary_cb, git_diff_hunk_cb hunk_cb, git_diff_line_cb line_cb, void *payload), (diff, file_cb, binary_cb, hunk_cb, line_cb, payload))
FORWARD(void, git_diff_free, (git_diff *diff), (diff))
FORWARD(const git_diff_delta *, git_diff_get_delta, (const git_diff *diff, size_t idx), (diff, idx))
FORWARD(size_t, git_diff_num_deltas, (const git_diff *diff), (diff))
FORWARD(int, git_diff_options_init, (git_diff_options *opts, unsigned int version), (opts, version))
FORWARD(int, git_diff_tree_to_tree, (git_diff **diff, git_repository *repo, git_tree *old_tree, git_tree *new_tree, const git_diff_options *opts), (diff, repo, old_tree, new_tree, opts))
FORWARD(void, git_error_clear, (void), ())
FORWARD(const git_error *, git_error_last, (void), ())
FORWARD(int, git_error_set_str, (int error_class, const char *string), (error_class, string))
FORWARD(int, git_ignore_path_is_ignored, (int *ignored, git_repository *repo, const char *path), (ignored, repo, path))
FORWARD(size_t, git_index_entrycount, (const git_index *index), (index))
FORWARD(void, git_index_free, (git_index *index), (index))
FORWARD(const git_index_entry *, git_index_get_byindex, (git_index *index, size_t n), (index, n))
FORWARD(const git_index_entry *, git_index_get_bypath, (git_index *index, const char *path, int stage), (index, path, stage))
FORWARD(int, git_index_open, (git_index **out, const char *index_path), (out, index_path))
FORWARD(int, git_libgit2_init, (void), ())
FORWARD(void, git_object_free, (git_object *object), (object))
FORWARD(const git_oid *, git_object_id, (const git_object *obj), (obj))
FORWARD(git_object_t, git_object_string2type, (const char *str), (str))
FORWARD(int, git_odb_add_backend, (git_odb *odb, git_odb_backend *backend, int priority), (odb, backend, priority))
FORWARD(void *, git_odb_backend_data_alloc, (git_odb_backend *backend, size_t len), (backend, len))
FORWARD(void, git_odb_backend_data_free, (git_odb_backend *backend, void *data), (backend, data))
FORWARD(void, git_odb_free, (git_odb *db), (db))
FORWARD(int, git_odb_init_backend, (git_odb_backend *backend, unsigned int version), (backend, version))
FORWARD(int, git_odb_write, (git_oid *out, git_odb *odb, const void *data, size_t len, git_object_t type), (out, odb, data, len, type))
FORWARD(int, git_odb_read_header, (size_t *len_out, git_object_t *type_out, git_odb *db, const git_oid *id), (len_out, type_out, db, id))
FORWARD(int, git_odb_exists, (git_odb *db, const git_oid *id), (db, id))
FORWARD(int, git_oid_equal, (const git_oid *a, const git_oid *b), (a, b))
FORWARD(int, git_oid_fromraw, (git_oid *out, const unsigned char *raw), (out, raw))
FORWARD(char *, git_oid_tostr, (char *out, size_t n, const git_oid *id), (out, n, id))
FORWARD(int, git_reference_create, (git_reference **out, git_repository *repo, const char *name, const git_oid *id, int force, const char *log_message), (out, repo, name, id, force, log_message))
FORWARD(int, git_reference_dwim, (git_reference **out, git_repository *repo, const char *shorthand), (out, repo, shorthand))
FORWARD(void, git_reference_free, (git_reference *ref), (ref))
FORWARD(void, git_reference_iterator_free, (git_reference_iterator *iter), (iter))
FORWARD(int, git_reference_iterator_glob_new, (git_reference_iterator **out, git_repository *repo, const char *glob), (out, repo, glob))
FORWARD(int, git_reference_lookup, (git_reference **out, git_repository *repo, const char *name), (out, repo, name))
FORWARD(const char *, git_reference_name, (const git_reference *ref), (ref))
FORWARD(int, git_reference_name_to_id, (git_oid *out, git_repository *repo, const char *name), (out, repo, name))
FORWARD(int, git_reference_next, (git_reference **out, git_reference_iterator *iter), (out, iter))
FORWARD(int, git_reference_peel, (git_object **out, const git_reference *ref, git_object_t type), (out, ref, type))
FORWARD(int, git_reference_resolve, (git_reference **out, const git_reference *ref), (out, ref))
FORWARD(const char *, git_reference_shorthand, (const git_reference *ref), (ref))
FORWARD(int, git_reference_symbolic_create, (git_reference **out, git_repository *repo, const char *name, const char *target, int force, const char *log_message), (out, repo, name, target, force, log_message))
FORWARD(const char *, git_reference_symbolic_target, (const git_reference *ref), (ref))
FORWARD(const git_oid *, git_reference_target, (const git_reference *ref), (ref))
FORWARD(const git_oid *, git_reference_target_peel, (const git_reference *ref), (ref))
FORWARD(git_reference_t, git_reference_type, (const git_reference *ref), (ref))
FORWARD(int, git_reflog_delete, (git_repository *repo, const char *name), (repo, name))
FORWARD(const git_reflog_entry *, git_reflog_entry_byindex, (const git_reflog *reflog, size_t idx), (reflog, idx))
FORWARD(const git_signature *, git_reflog_entry_committer, (const git_reflog_entry *entry), (entry))
FORWARD(const git_oid *, git_reflog_entry_id_new, (const git_reflog_entry *entry), (entry))
FORWARD(const git_oid *, git_reflog_entry_id_old, (const git_reflog_entry *entry), (entry))
FORWARD(const char *, git_reflog_entry_message, (const git_reflog_entry *entry), (entry))
FORWARD(size_t, git_reflog_entrycount, (git_reflog *reflog), (reflog))
FORWARD(void, git_reflog_free, (git_reflog *reflog), (reflog))
FORWARD(int, git_reflog_read, (git_reflog **out, git_repository *repo, const char *name), (out, repo, name))
FORWARD(void, git_refspec_free, (git_refspec *refspec), (refspec))
FORWARD(int, git_refspec_parse, (git_refspec **refspec, const char *input, int is_fetch), (refspec, input, is_fetch))
FORWARD(int, git_refspec_src_matches, (const git_refspec *refspec, const char *refname), (refspec, refname))
FORWARD(int, git_refspec_transform, (git_buf *out, const git_refspec *spec, const char *name), (out, spec, name))
FORWARD(const char *, git_repository_commondir, (const git_repository *repo), (repo))
FORWARD(int, git_repository_config_snapshot, (git_config **out, git_repository *repo), (out, repo))
FORWARD(void, git_repository_free, (git_repository *repo), (repo))
FORWARD(int, git_repository_head, (git_reference **out, git_repository *repo), (out, repo))
FORWARD(int, git_repository_is_bare, (const git_repository *repo), (repo))
FORWARD(int, git_repository_odb, (git_odb **out, git_repository *repo), (out, repo))
FORWARD(int, git_repository_open_ext, (git_repository **out, const char *path, unsigned int flags, const char *ceiling_dirs), (out, path, flags, ceiling_dirs))
FORWARD(const char *, git_repository_path, (const git_repository *repo), (repo))
FORWARD(const char *, git_repository_workdir, (const git_repository *repo), (repo))
FORWARD(void, git_revwalk_free, (git_revwalk *walk), (walk))
FORWARD(int, git_revwalk_hide, (git_revwalk *walk, const git_oid *commit_id), (walk, commit_id))
FORWARD(int, git_revwalk_new, (git_revwalk **out, git_repository *repo), (out, repo))
FORWARD(int, git_revwalk_next, (git_oid *out, git_revwalk *walk), (out, walk))
FORWARD(int, git_revwalk_push, (git_revwalk *walk, const git_oid *id), (walk, id))
FORWARD(int, git_revwalk_push_head, (git_revwalk *walk), (walk))
FORWARD(int, git_revwalk_reset, (git_revwalk *walker), (walker))
FORWARD(int, git_revwalk_sorting, (git_revwalk *walk, unsigned int sort_mode), (walk, sort_mode))
FORWARD(int, git_transaction_commit, (git_transaction *tx), (tx))
FORWARD(void, git_transaction_free, (git_transaction *tx), (tx))
FORWARD(int, git_transaction_lock_ref, (git_transaction *tx, const char *refname), (tx, refname))
FORWARD(int, git_transaction_new, (git_transaction **out, git_repository *repo), (out, repo))
FORWARD(int, git_transaction_remove, (git_transaction *tx, const char *refname), (tx, refname))
FORWARD(int, git_transaction_set_target, (git_transaction *tx, const char *refname, const git_oid *target, const git_signature *sig, const char *msg), (tx, refname, target, sig, msg))
FORWARD(const git_tree_entry *, git_tree_entry_byindex, (const git_tree *tree, size_t idx), (tree, idx))
FORWARD(git_filemode_t, git_tree_entry_filemode, (const git_tree_entry *entry), (entry))
FORWARD(const git_oid *, git_tree_entry_id, (const git_tree_entry *entry), (entry))
FORWARD(const char *, git_tree_entry_name, (const git_tree_entry *entry), (entry))
FORWARD(git_object_t, git_tree_entry_type, (const git_tree_entry *entry), (entry))
FORWARD(size_t, git_tree_entrycount, (const git_tree *tree), (tree))
FORWARD(void, git_tree_free, (git_tree *tree), (tree))
FORWARD(const git_oid *, git_tree_id, (const git_tree *tree), (tree))
FORWARD(int, git_tree_lookup, (git_tree **out, git_repository *repo, const git_oid *id), (out, repo, id))
