#include "tavrik/State/GitHead.h"

#include "tavrik/Util/HashCombine.h"

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

namespace {
// The first line of a message, as the text utilities define a git subject.
// Kept local until those utilities are part of this library.
bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string subjectOf(std::string_view message) {
  size_t b = 0, e = message.size();
  while (b < e && isSpace(message[b])) ++b;
  while (e > b && isSpace(message[e - 1])) --e;
  std::string_view trimmed = message.substr(b, e - b);
  size_t nl = trimmed.find('\n');
  std::string_view first = nl == std::string_view::npos ? trimmed : trimmed.substr(0, nl);
  // A CR LF pair ends the line as one break.
  if (nl != std::string_view::npos && !first.empty() && first.back() == '\r') first.remove_suffix(1);
  return std::string(first);
}
} // namespace

std::optional<std::string> GitHead::lastSubject() const {
  if (!lastMessage) return std::nullopt;
  return subjectOf(*lastMessage);
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
  return tavrik::detail::hashFields(l.stateFiles, l.head, l.origHead, l.mergeHead);
}
