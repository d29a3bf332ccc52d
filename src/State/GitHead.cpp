#include "tavrik/State/GitHead.h"

#include "tavrik/Util/HashCombine.h"
#include "tavrik/Util/StringUtilities.h"

namespace tavrik {

std::string_view rawValue(GitHeadFile file) {
  switch (file) {
  case GitHeadFile::head: return "HEAD";
  case GitHeadFile::origHead: return "ORIG_HEAD";
  case GitHeadFile::mergeHead: return "MERGE_HEAD";
  }
  return "HEAD";
}

std::optional<GitHeadFile> gitHeadFileFromRawValue(std::string_view raw) {
  for (auto f : {GitHeadFile::head, GitHeadFile::origHead, GitHeadFile::mergeHead})
    if (rawValue(f) == raw) return f;
  return std::nullopt;
}

std::string_view rawValue(GitFormatField field) {
  switch (field) {
  case GitFormatField::commitHash: return "%H";
  case GitFormatField::treeHash: return "%T";
  case GitFormatField::parentHashes: return "%P";
  case GitFormatField::refNamesWithoutWrapping: return "%D";
  case GitFormatField::authorName: return "%an";
  case GitFormatField::authorEmail: return "%ae";
  case GitFormatField::authorDateStrictISO8601: return "%aI";
  case GitFormatField::committerName: return "%cn";
  case GitFormatField::committerEmail: return "%ce";
  case GitFormatField::committerDateStrictISO8601: return "%cI";
  case GitFormatField::rawBody: return "%B";
  }
  return "";
}

std::optional<std::string> GitHead::lastSubject() const {
  if (!lastMessage) return std::nullopt;
  return gitSubject(*lastMessage);
}

std::string GitHeadList::stateTitle() const {
  if (stateFiles.state == GitState::merge && mergeHead.refname && origHead.refname)
    return std::string(title(GitState::merge)) + " " + *mergeHead.refname + " into " + *origHead.refname;
  return std::string(title(stateFiles.state));
}

} // namespace tavrik

size_t std::hash<tavrik::GitHead>::operator()(const tavrik::GitHead& h) const noexcept {
  return tavrik::detail::hashFields(h.commit, h.refname, h.isSymbolic, h.lastAuthor, h.lastMessage);
}

size_t std::hash<tavrik::GitHeadList>::operator()(const tavrik::GitHeadList& l) const noexcept {
  return tavrik::detail::hashFields(l.stateFiles, l.head, l.origHead, l.mergeHead, l.bisect);
}
