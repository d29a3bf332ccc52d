#include "tavrik/History/GitQuery.h"

#include "tavrik/Util/HashCombine.h"

namespace tavrik {

std::optional<std::string> GitQuery::needle(GitQuerySubject s) const {
  if (!subject.contains(s)) return std::nullopt;
  return string;
}

void GitQueryMatch::formUnion(const GitQueryMatch& other) {
  author = author || other.author;
  committer = committer || other.committer;
  hash = hash || other.hash;
  message = message || other.message;
  paths.insert(other.paths.begin(), other.paths.end());
  content.insert(other.content.begin(), other.content.end());
}

} // namespace tavrik

size_t std::hash<tavrik::GitQuery>::operator()(const tavrik::GitQuery& q) const noexcept {
  return tavrik::detail::hashFields(q.string, q.subject);
}

size_t std::hash<tavrik::GitQueryMatch>::operator()(const tavrik::GitQueryMatch& m) const noexcept {
  return tavrik::detail::hashFields(m.query, m.author, m.committer, m.hash, m.message, m.paths, m.content);
}
