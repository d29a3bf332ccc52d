#include "tavrik/State/GitRef.h"

#include "tavrik/Util/HashCombine.h"

#include <charconv>

namespace tavrik {

namespace {
bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::vector<std::string> splitDroppingEmpty(std::string_view text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) out.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

} // namespace

GitRefType gitRefTypeFromRefname(std::string_view refname) {
  if (!startsWith(refname, "refs/")) return GitRefType::unknown;
  std::string_view rest = refname.substr(5);
  if (startsWith(rest, "heads/")) return GitRefType::branch;
  if (startsWith(rest, "tags/")) return GitRefType::tag;
  if (startsWith(rest, "remotes/")) return GitRefType::remote;
  if (startsWith(rest, "notes/")) return GitRefType::note;
  return GitRefType::unknown;
}

std::string GitRef::shorthandFor(std::string_view name) {
  for (std::string_view prefix : {"refs/heads/", "refs/tags/", "refs/remotes/", "refs/notes/"})
    if (startsWith(name, prefix)) name.remove_prefix(prefix.size());
  return std::string(name);
}

GitRef GitRef::named(std::string name) {
  GitRef ref;
  ref.type = gitRefTypeFromRefname(name);
  ref.shorthand = shorthandFor(name);
  ref.path = splitDroppingEmpty(ref.shorthand, '/');
  if (ref.path.size() > 1) ref.pathPrefix.assign(ref.path.begin(), ref.path.end() - 1);
  // A remote branch's first folder is the remote itself, not a folder of branches.
  if (ref.type == GitRefType::remote && !ref.pathPrefix.empty()) ref.pathPrefix.erase(ref.pathPrefix.begin());
  ref.name = std::move(name);
  return ref;
}

std::optional<GitRef> GitRef::fromFields(const std::map<std::string, std::string>& fields) {
  FieldValues values;
  for (const auto& [name, value] : fields)
    if (auto slot = fieldValueSlot(name)) values.*slot = value;
  return fromFieldValues(values);
}

std::string_view GitRef::FieldValues::*GitRef::fieldValueSlot(std::string_view fieldName) {
  if (fieldName == "HEAD") return &FieldValues::head;
  if (fieldName == "objectname") return &FieldValues::objectName;
  if (fieldName == "*objectname") return &FieldValues::peeledObjectName;
  if (fieldName == "refname") return &FieldValues::refname;
  if (fieldName == "symref") return &FieldValues::symref;
  if (fieldName == "upstream") return &FieldValues::upstream;
  if (fieldName == "upstream:remotename") return &FieldValues::upstreamRemote;
  if (fieldName == "creatordate:iso8601-strict") return &FieldValues::creatorDate;
  if (fieldName == "upstream:track,nobracket") return &FieldValues::upstreamTrack;
  if (fieldName == "worktreepath") return &FieldValues::worktreePath;
  return nullptr;
}

std::optional<GitRef> GitRef::fromFieldValues(const FieldValues& values) {
  if (values.head.empty() || values.objectName.empty() || values.refname.empty()) return std::nullopt;

  // A tag of a blob or a tree has no creator date; it is a reference all the
  // same and is kept, dateless.
  std::optional<GitTimestamp> date;
  if (!values.creatorDate.empty()) {
    date = GitTimestamp::fromStrictISO8601(values.creatorDate);
    if (!date) return std::nullopt;
  }
  auto target = Oid::parse(values.objectName);
  if (!target) return std::nullopt;
  std::optional<Oid> commit = target;
  if (!values.peeledObjectName.empty()) {
    commit = Oid::parse(values.peeledObjectName);
    if (!commit) return std::nullopt;
  }

  auto optionalString = [](std::string_view value) {
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
  };
  GitRef ref = named(std::string(values.refname));
  ref.isHead = values.head == "*";
  ref.symbolicTarget = optionalString(values.symref);
  ref.upstreamName = optionalString(values.upstream);
  ref.upstreamRemote = optionalString(values.upstreamRemote);
  ref.creatorDate = date;
  ref.target = target;
  ref.commit = commit;
  ref.worktreePath = optionalString(values.worktreePath);
  if (ref.upstreamName) ref.upstreamCount = countFromTrack(values.upstreamTrack);
  return ref;
}

GitCount GitRef::countFromTrack(std::string_view track) {
  // for-each-ref writes these words untranslated whatever the locale, and
  // only "ahead" before "behind".
  GitCount count;
  auto take = [&track](std::string_view word, int64_t& into) {
    if (!startsWith(track, word)) return true;
    track.remove_prefix(word.size());
    auto [end, ec] = std::from_chars(track.data(), track.data() + track.size(), into);
    if (ec != std::errc() || into < 0) return false;
    track.remove_prefix(static_cast<size_t>(end - track.data()));
    if (startsWith(track, ", ")) track.remove_prefix(2);
    return true;
  };
  if (!take("ahead ", count.left) || !take("behind ", count.right) || !track.empty()) return GitCount::zero;
  return count;
}

std::optional<std::string> GitRef::upstreamShorthand() const {
  if (!upstreamName) return std::nullopt;
  return shorthandFor(*upstreamName);
}

std::optional<std::string> GitRef::upstreamShorthandWithoutRemote() const {
  if (!upstreamRemote || !upstreamName) return std::nullopt;
  std::string shorthand = shorthandFor(*upstreamName);
  std::string prefix = *upstreamRemote + "/";
  if (startsWith(shorthand, prefix)) shorthand.erase(0, prefix.size());
  return shorthand;
}

bool GitRef::operator<(const GitRef& other) const {
  const std::string& l = shorthand;
  const std::string& r = other.shorthand;
  if (l == "master") return r != "master";
  if (l == "develop") return r != "master" && r != "develop";
  if (r == "master" || r == "develop") return false;
  return l < r;
}

} // namespace tavrik

size_t std::hash<tavrik::GitRef>::operator()(const tavrik::GitRef& r) const noexcept {
  return tavrik::detail::hashFields(r.name, r.isHead, r.symbolicTarget, r.upstreamName, r.upstreamRemote,
                                    r.creatorDate, r.target, r.commit, r.path, r.shorthand, r.type, r.pathPrefix,
                                    r.upstreamCount, r.worktreePath);
}
