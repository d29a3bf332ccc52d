#include "tavrik/Interfaces/Diff.h"

#include "Interfaces/Libgit2.h"
#include "tavrik/Interfaces/Tree.h"

#include <exception>

namespace arbor {

namespace {

DeltaStatus toStatus(git_delta_t status) {
  switch (status) {
  case GIT_DELTA_UNMODIFIED: return DeltaStatus::unmodified;
  case GIT_DELTA_ADDED: return DeltaStatus::added;
  case GIT_DELTA_DELETED: return DeltaStatus::deleted;
  case GIT_DELTA_MODIFIED: return DeltaStatus::modified;
  case GIT_DELTA_RENAMED: return DeltaStatus::renamed;
  case GIT_DELTA_COPIED: return DeltaStatus::copied;
  case GIT_DELTA_IGNORED: return DeltaStatus::ignored;
  case GIT_DELTA_UNTRACKED: return DeltaStatus::untracked;
  case GIT_DELTA_TYPECHANGE: return DeltaStatus::typeChange;
  case GIT_DELTA_UNREADABLE: return DeltaStatus::unreadable;
  case GIT_DELTA_CONFLICTED: return DeltaStatus::conflicted;
  }
  return DeltaStatus::unmodified;
}

DiffLineKind toKind(char origin) {
  switch (origin) {
  case GIT_DIFF_LINE_ADDITION: return DiffLineKind::addition;
  case GIT_DIFF_LINE_DELETION: return DiffLineKind::deletion;
  case GIT_DIFF_LINE_CONTEXT_EOFNL: return DiffLineKind::contextEOFNL;
  case GIT_DIFF_LINE_ADD_EOFNL: return DiffLineKind::additionEOFNL;
  case GIT_DIFF_LINE_DEL_EOFNL: return DiffLineKind::deletionEOFNL;
  case GIT_DIFF_LINE_FILE_HDR: return DiffLineKind::fileHeader;
  case GIT_DIFF_LINE_HUNK_HDR: return DiffLineKind::hunkHeader;
  case GIT_DIFF_LINE_BINARY: return DiffLineKind::binary;
  default: return DiffLineKind::context;
  }
}

DiffDelta toDelta(const git_diff_delta* d) {
  DiffDelta out;
  out.status = toStatus(d->status);
  if (d->old_file.path) out.oldPath = d->old_file.path;
  if (d->new_file.path) out.newPath = d->new_file.path;
  out.oldId = detail::toOid(&d->old_file.id);
  out.newId = detail::toOid(&d->new_file.id);
  out.similarity = d->similarity;
  out.isBinary = (d->flags & GIT_DIFF_FLAG_BINARY) != 0;
  return out;
}

// State of one walk. libgit2 calls back through C, so exceptions must not
// pass through it: they are parked here and rethrown after the walk.
struct WalkState {
  explicit WalkState(const DiffCallbacks& c) : callbacks(c) {}
  const DiffCallbacks& callbacks;
  const git_diff_delta* lastRaw = nullptr;
  DiffDelta delta;
  std::exception_ptr error;
  bool stopped = false;

  // Converting once per file keeps the per-line callback cheap.
  const DiffDelta& deltaFor(const git_diff_delta* raw) {
    if (raw != lastRaw) {
      delta = toDelta(raw);
      lastRaw = raw;
    }
    return delta;
  }
};

constexpr int kStop = 1;

int fileTrampoline(const git_diff_delta* raw, float, void* payload) {
  auto* state = static_cast<WalkState*>(payload);
  try {
    const DiffDelta& delta = state->deltaFor(raw);
    if (state->callbacks.file && !state->callbacks.file(delta)) {
      state->stopped = true;
      return kStop;
    }
    return 0;
  } catch (...) {
    state->error = std::current_exception();
    return kStop;
  }
}

int lineTrampoline(const git_diff_delta* raw, const git_diff_hunk*, const git_diff_line* line, void* payload) {
  auto* state = static_cast<WalkState*>(payload);
  try {
    DiffLine out;
    out.kind = toKind(line->origin);
    out.content = std::string_view(line->content, line->content_len);
    out.oldLineNumber = line->old_lineno;
    out.newLineNumber = line->new_lineno;
    if (!state->callbacks.line(state->deltaFor(raw), out)) {
      state->stopped = true;
      return kStop;
    }
    return 0;
  } catch (...) {
    state->error = std::current_exception();
    return kStop;
  }
}

} // namespace

void Diff::Deleter::operator()(git_diff* diff) const noexcept { git_diff_free(diff); }

Diff::Diff(Repo repo, git_diff* diff) : repo_(std::move(repo)), diff_(diff) {}
Diff::~Diff() = default;
Diff::Diff(Diff&&) noexcept = default;
Diff& Diff::operator=(Diff&&) noexcept = default;

Diff Diff::treeToTree(const Tree* oldTree, const Tree& newTree, const Repo& repo, const DiffOptions& options,
                      const std::vector<std::string>& pathList) {
  git_diff_options opts;
  detail::check(git_diff_options_init(&opts, GIT_DIFF_OPTIONS_VERSION), "git_diff_options_init");
  opts.context_lines = options.contextLines;
  opts.max_size = options.maxSize;
  std::vector<char*> paths;
  for (const auto& path : pathList) paths.push_back(const_cast<char*>(path.c_str()));
  if (!paths.empty()) {
    opts.pathspec = {paths.data(), paths.size()};
    opts.flags |= GIT_DIFF_DISABLE_PATHSPEC_MATCH;
  }
  git_diff* raw = nullptr;
  detail::check(git_diff_tree_to_tree(&raw, repo.handle(), oldTree ? oldTree->handle() : nullptr, newTree.handle(),
                                      &opts),
                "git_diff_tree_to_tree");
  return Diff(repo, raw);
}

Diff Diff::treeToTree(const std::optional<Tree>& oldTree, const Tree& newTree, const Repo& repo,
                      const DiffOptions& options, const std::vector<std::string>& paths) {
  return treeToTree(oldTree ? &*oldTree : nullptr, newTree, repo, options, paths);
}

void Diff::findSimilar(std::optional<uint32_t> maxDeltas) {
  git_diff_find_options opts;
  detail::check(git_diff_find_options_init(&opts, GIT_DIFF_FIND_OPTIONS_VERSION), "git_diff_find_options_init");
  opts.flags = GIT_DIFF_FIND_RENAMES | GIT_DIFF_FIND_COPIES;
  if (maxDeltas) opts.rename_limit = *maxDeltas;
  detail::check(git_diff_find_similar(diff_.get(), &opts), "git_diff_find_similar");
}

size_t Diff::deltaCount() const { return git_diff_num_deltas(diff_.get()); }

std::vector<DiffDelta> Diff::deltas() const {
  size_t count = deltaCount();
  std::vector<DiffDelta> out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (const git_diff_delta* d = git_diff_get_delta(diff_.get(), i)) out.push_back(toDelta(d));
  }
  return out;
}

bool Diff::walkBlobs(const Oid& oldId, const std::string& oldPath, const Oid& newId, const std::string& newPath,
                     const Repo& repo, const DiffOptions& options, const DiffCallbacks& callbacks) {
  git_diff_options opts;
  detail::check(git_diff_options_init(&opts, GIT_DIFF_OPTIONS_VERSION), "git_diff_options_init");
  opts.context_lines = options.contextLines;
  opts.max_size = options.maxSize;
  struct BlobFree {
    void operator()(git_blob* blob) const noexcept { git_blob_free(blob); }
  };
  auto load = [&](const Oid& id) {
    git_blob* raw = nullptr;
    if (!id.isZero()) {
      git_oid gitId = detail::toGitOid(id);
      detail::check(git_blob_lookup(&raw, repo.handle(), &gitId), "git_blob_lookup");
    }
    return std::unique_ptr<git_blob, BlobFree>(raw);
  };
  auto oldBlob = load(oldId);
  auto newBlob = load(newId);
  WalkState state(callbacks);
  auto lineCallback = callbacks.line ? lineTrampoline : nullptr;
  int rc;
  if (oldPath.empty() && newPath.empty()) {
    // As plain buffers the pair has no repository to look attributes up in:
    // libgit2 would otherwise search the working tree for attribute files
    // under a made-up name, a dozen system calls per file.
    auto bytes = [](const std::unique_ptr<git_blob, BlobFree>& blob) {
      return blob ? std::string_view(static_cast<const char*>(git_blob_rawcontent(blob.get())),
                                     static_cast<size_t>(git_blob_rawsize(blob.get())))
                  : std::string_view();
    };
    auto oldBytes = bytes(oldBlob), newBytes = bytes(newBlob);
    rc = git_diff_buffers(oldBlob ? oldBytes.data() : nullptr, oldBytes.size(), nullptr,
                          newBlob ? newBytes.data() : nullptr, newBytes.size(), nullptr, &opts, fileTrampoline,
                          nullptr, nullptr, lineCallback, &state);
  } else {
    rc = git_diff_blobs(oldBlob.get(), oldPath.c_str(), newBlob.get(), newPath.c_str(), &opts, fileTrampoline,
                        nullptr, nullptr, lineCallback, &state);
  }
  if (state.error) std::rethrow_exception(state.error);
  if (state.stopped) {
    git_error_clear();
    return false;
  }
  detail::check(rc, "git_diff_blobs");
  return true;
}

bool Diff::walk(const DiffCallbacks& callbacks) const {
  WalkState state(callbacks);
  // Without a line callback no patch is generated at all, which is much
  // cheaper; the file trampoline also runs without a file callback so that a
  // line-only walk still sees each delta in order.
  int rc = git_diff_foreach(diff_.get(), fileTrampoline, nullptr, nullptr,
                            callbacks.line ? lineTrampoline : nullptr, &state);
  if (state.error) std::rethrow_exception(state.error);
  if (state.stopped) {
    git_error_clear();
    return false;
  }
  detail::check(rc, "git_diff_foreach");
  return true;
}

} // namespace arbor
