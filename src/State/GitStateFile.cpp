#include "tavrik/State/GitStateFile.h"

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Util/HashCombine.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tavrik {

using T = GitStateFileType;

const std::array<GitStateFileType, 16> kAllGitStateFileTypes = {
    T::MERGE_MSG_FILE,           T::MERGE_HEAD_FILE,           T::REVERT_HEAD_FILE,
    T::REBASE_MERGE_DIR,         T::REBASE_MERGE_INTERACTIVE_FILE, T::REBASE_MERGE_MSGNUM_FILE,
    T::REBASE_MERGE_END_FILE,    T::REBASE_MERGE_ONTO_FILE,    T::REBASE_MERGE_MESSAGE_FILE,
    T::REBASE_APPLY_DIR,         T::REBASE_APPLY_REBASING_FILE, T::REBASE_APPLY_APPLYING_FILE,
    T::SEQUENCER_DIR,            T::SEQUENCER_TODO_FILE,       T::CHERRYPICK_HEAD_FILE,
    T::BISECT_LOG_FILE,
};

std::string_view rawValue(GitStateFileType type) {
  switch (type) {
  case T::MERGE_MSG_FILE: return "MERGE_MSG";
  case T::MERGE_HEAD_FILE: return "MERGE_HEAD";
  case T::REVERT_HEAD_FILE: return "REVERT_HEAD";
  case T::REBASE_MERGE_DIR: return "rebase-merge";
  case T::REBASE_MERGE_INTERACTIVE_FILE: return "rebase-merge/interactive";
  case T::REBASE_MERGE_MSGNUM_FILE: return "rebase-merge/msgnum";
  case T::REBASE_MERGE_END_FILE: return "rebase-merge/end";
  case T::REBASE_MERGE_ONTO_FILE: return "rebase-merge/onto";
  case T::REBASE_MERGE_MESSAGE_FILE: return "rebase-merge/message";
  case T::REBASE_APPLY_DIR: return "rebase-apply/";
  case T::REBASE_APPLY_REBASING_FILE: return "rebase-apply/rebasing";
  case T::REBASE_APPLY_APPLYING_FILE: return "rebase-apply/applying";
  case T::SEQUENCER_DIR: return "sequencer";
  case T::SEQUENCER_TODO_FILE: return "sequencer/todo";
  case T::CHERRYPICK_HEAD_FILE: return "CHERRY_PICK_HEAD";
  case T::BISECT_LOG_FILE: return "BISECT_LOG";
  }
  return "";
}

std::optional<GitStateFileType> gitStateFileTypeFromRawValue(std::string_view raw) {
  for (auto t : kAllGitStateFileTypes)
    if (rawValue(t) == raw) return t;
  return std::nullopt;
}

bool isDirectory(GitStateFileType type) {
  return type == T::REBASE_MERGE_DIR || type == T::REBASE_APPLY_DIR || type == T::SEQUENCER_DIR;
}

std::optional<std::string> GitStateFile::contentString() const {
  return content;
}

std::string_view title(GitState state) {
  switch (state) {
  case GitState::none: return "None";
  case GitState::merge: return "Merge";
  case GitState::revert: return "Revert";
  case GitState::revertSequence: return "Revert Sequence";
  case GitState::cherrypick: return "Cherry-Pick";
  case GitState::cherrypickSequence: return "Cherry-Pick Sequence";
  case GitState::bisect: return "Bisect";
  case GitState::rebase: return "Rebase";
  case GitState::rebaseInteractive: return "Interactive Rebase";
  case GitState::rebaseMerge: return "Rebase Merge";
  case GitState::applyMailbox: return "Apply Mailbox";
  case GitState::applyMailboxOrRebase: return "Apply Mailbox or Rebase";
  }
  return "None";
}

bool isRebasing(GitState s) {
  return s == GitState::rebase || s == GitState::rebaseInteractive || s == GitState::rebaseMerge;
}

GitStateFileSet GitStateFileSet::fromFiles(std::vector<GitStateFile> files) {
  GitStateFileSet result;
  for (auto& f : files) result.set.insert(std::move(f));
  auto has = [&](T t) { return result.has(t); };
  // Rebase markers first: an interactive rebase stopped at a merge also has
  // MERGE_HEAD, and the rebase is what is in progress.
  if (has(T::REBASE_MERGE_INTERACTIVE_FILE))
    result.state = GitState::rebaseInteractive;
  else if (has(T::REBASE_MERGE_DIR))
    result.state = GitState::rebaseMerge;
  else if (has(T::REBASE_APPLY_REBASING_FILE))
    result.state = GitState::rebase;
  else if (has(T::REBASE_APPLY_APPLYING_FILE))
    result.state = GitState::applyMailbox;
  else if (has(T::REBASE_APPLY_DIR))
    result.state = GitState::applyMailboxOrRebase;
  else if (has(T::MERGE_HEAD_FILE))
    result.state = GitState::merge;
  else if (has(T::REVERT_HEAD_FILE))
    result.state = has(T::SEQUENCER_TODO_FILE) ? GitState::revertSequence : GitState::revert;
  else if (has(T::CHERRYPICK_HEAD_FILE))
    result.state = has(T::SEQUENCER_TODO_FILE) ? GitState::cherrypickSequence : GitState::cherrypick;
  else if (has(T::BISECT_LOG_FILE))
    result.state = GitState::bisect;
  else
    result.state = GitState::none;
  return result;
}

namespace {
std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(out).str();
}
} // namespace

GitStateFileSet GitStateFileSet::read(const Url& gitDirectory) { return read(gitDirectory, Log::defaultLog()); }

GitStateFileSet GitStateFileSet::read(const Url& gitDirectory, const Log& log) {
  std::vector<GitStateFile> files;
  const std::filesystem::path dir(gitDirectory.path());
  for (auto type : kAllGitStateFileTypes) {
    const std::string raw(rawValue(type));
    // "rebase-apply/" is asked without its slash, so that a plain file of
    // that name is seen (and reported) rather than failing the lookup.
    std::string_view relative = raw;
    while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
    const auto path = dir / std::string(relative);
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) continue;
    const bool isDir = std::filesystem::is_directory(status);
    if (isDirectory(type) != isDir) {
      log.error("git: state file %s has unexpected type", raw.c_str());
      continue;
    }
    if (isDir)
      files.push_back({type, std::nullopt});
    else
      files.push_back({type, readWholeFile(path)});
  }
  return fromFiles(std::move(files));
}

std::optional<GitStateFile> GitStateFileSet::file(GitStateFileType type) const {
  for (const auto& f : set)
    if (f.type == type) return f;
  return std::nullopt;
}

bool GitStateFileSet::has(GitStateFileType type) const {
  for (const auto& f : set)
    if (f.type == type) return true;
  return false;
}

std::optional<std::string> GitStateFileSet::editMessage() const {
  if (auto msg = file(T::MERGE_MSG_FILE))
    if (auto text = msg->contentString()) return text;
  if (auto msg = file(T::REBASE_MERGE_MESSAGE_FILE)) return msg->contentString();
  return std::nullopt;
}

} // namespace tavrik

size_t std::hash<tavrik::GitStateFile>::operator()(const tavrik::GitStateFile& f) const noexcept {
  return tavrik::detail::hashFields(f.type, f.content);
}

size_t std::hash<tavrik::GitStateFileSet>::operator()(const tavrik::GitStateFileSet& s) const noexcept {
  return tavrik::detail::hashFields(s.set, s.state);
}
