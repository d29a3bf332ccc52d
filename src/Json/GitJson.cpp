#include "tavrik/Json/GitJson.h"

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/Util/StringUtilities.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <unordered_map>

namespace tavrik {
namespace {

using nlohmann::json;

std::string dumped(const json& value, int indent = -1) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Text goes in as itself when it is UTF-8; otherwise made valid, with the
// bytes kept in git's quoting under "<key>Quoted".
void putText(json& object, const std::string& key, std::string_view text) {
  if (isValidUTF8(text)) {
    object[key] = std::string(text);
    return;
  }
  object[key] = jsonSafe(text);
  object[key + "Quoted"] = gitQuotedPath(text);
}

template <class T, class F> void putOptional(json& object, const char* key, const std::optional<T>& value, F&& form) {
  if (value) object[key] = form(*value);
}

void putOptionalText(json& object, const char* key, const std::optional<std::string>& text) {
  if (text) putText(object, key, *text);
}

void putTexts(json& object, const std::string& key, const std::vector<std::string>& texts) {
  json safe = json::array(), quoted = json::array();
  bool lossy = false;
  for (const auto& text : texts) {
    lossy = lossy || !isValidUTF8(text);
    safe.push_back(jsonSafe(text));
    quoted.push_back(gitQuotedPath(text));
  }
  object[key] = std::move(safe);
  if (lossy) object[key + "Quoted"] = std::move(quoted);
}

std::string utcDateString(Date date) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(date);
  std::time_t t = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

json oids(const std::vector<Oid>& ids) {
  json out = json::array();
  for (const auto& id : ids) out.push_back(id.string());
  return out;
}

// The offset is a whole number of seconds: -25200, never -25200.0.
json value(const GitTimestamp& t) {
  return {{"date", t.iso8601String()}, {"offset", static_cast<int64_t>(std::llround(t.offset))}};
}

json value(const GitSignature& s) {
  json o = {{"timestamp", value(s.timestamp)}};
  putText(o, "name", s.name);
  putText(o, "email", s.email);
  return o;
}

json value(const GitCount& c) { return {{"left", c.left}, {"right", c.right}}; }

json value(const GitRef& r) {
  json o = {{"isHead", r.isHead}, {"type", static_cast<int>(r.type)}, {"upstreamCount", value(r.upstreamCount)}};
  putOptional(o, "commit", r.commit, [](const Oid& id) { return id.string(); });
  putOptional(o, "creatorDate", r.creatorDate, [](const GitTimestamp& t) { return value(t); });
  putText(o, "name", r.name);
  putTexts(o, "path", r.path);
  putTexts(o, "pathPrefix", r.pathPrefix);
  putText(o, "shorthand", r.shorthand);
  putOptionalText(o, "symbolicTarget", r.symbolicTarget);
  putOptional(o, "target", r.target, [](const Oid& id) { return id.string(); });
  putOptionalText(o, "upstreamName", r.upstreamName);
  putOptionalText(o, "upstreamRemote", r.upstreamRemote);
  putOptionalText(o, "worktreePath", r.worktreePath);
  return o;
}

json value(const GitHead& h) {
  json o;
  putOptional(o, "commit", h.commit, [](const Oid& id) { return id.string(); });
  putOptionalText(o, "refname", h.refname);
  o["isSymbolic"] = h.isSymbolic;
  putOptional(o, "lastAuthor", h.lastAuthor, [](const GitSignature& s) { return value(s); });
  putOptionalText(o, "lastMessage", h.lastMessage);
  return o;
}

json value(const GitBisectState& b) {
  auto id = [](const Oid& oid) { return oid.string(); };
  json o = {{"good", oids(b.good)}, {"skipped", oids(b.skipped)}, {"testsMergeBase", b.testsMergeBase}};
  putText(o, "termOld", b.termOld);
  putText(o, "termNew", b.termNew);
  putOptional(o, "bad", b.bad, id);
  putOptional(o, "candidate", b.candidate, id);
  putOptional(o, "firstBad", b.firstBad, id);
  putOptional(o, "revisionsLeft", b.revisionsLeft, [](int64_t n) { return n; });
  putOptional(o, "steps", b.steps, [](int64_t n) { return n; });
  putTexts(o, "paths", b.paths);
  return o;
}

json value(const GitHeadList& l) {
  json files = json::array();
  for (const auto& f : l.stateFiles.set) {
    json file = {{"type", std::string(rawValue(f.type))}};
    putOptionalText(file, "content", f.content);
    files.push_back(std::move(file));
  }
  json o;
  o["stateFiles"] = {{"set", std::move(files)}, {"state", stateName(l.stateFiles.state)}};
  putText(o, "stateTitle", l.stateTitle());
  o["head"] = value(l.head);
  o["origHead"] = value(l.origHead);
  o["mergeHead"] = value(l.mergeHead);
  putOptional(o, "bisect", l.bisect, [](const GitBisectState& b) { return value(b); });
  return o;
}

json value(const GitRepositoryDescriptor& d) {
  json o = {{"isBare", d.isBare}, {"isShallow", d.isShallow}};
  putText(o, "url", d.url.absoluteString());
  putText(o, "gitURL", d.gitURL.absoluteString());
  putText(o, "commonURL", d.commonURL.absoluteString());
  putText(o, "displayName", d.displayName);
  return o;
}

json lanes(const std::vector<GraphLane>& list) {
  json out = json::array();
  for (const auto& lane : list) {
    json o = {{"from", lane.from}, {"to", lane.to}, {"color", lane.color}, {"hidden", lane.hidden}};
    putOptional(o, "parentId", lane.parentId, [](const Oid& id) { return id.string(); });
    out.push_back(std::move(o));
  }
  return out;
}

json value(const GraphLaneRow& row) {
  return {{"commitLane", row.commitLane}, {"lanesIn", lanes(row.lanesIn)}, {"lanesOut", lanes(row.lanesOut)}};
}

json value(const GitUndoEntry& e) {
  json o = {{"number", e.number},
            {"time", e.time},
            {"scope", gitJournalScopeName(e.scope)},
            {"complete", e.complete},
            {"undone", e.undone},
            {"bytes", e.bytes}};
  putText(o, "title", e.title);
  return o;
}

json value(const GitStashEntry& s) {
  json o = {{"index", s.index},
            {"oid", s.oid.string()},
            {"tree", s.tree.string()},
            {"parents", oids(s.parents)},
            {"author", value(s.author)},
            {"committer", value(s.committer)}};
  putText(o, "message", s.message);
  putText(o, "messageWithoutPrefix", s.messageWithoutPrefix);
  putText(o, "subject", s.subject);
  putOptionalText(o, "refname", s.refname);
  return o;
}

json value(const GitStashList& l) {
  json entries = json::array();
  for (const auto& entry : l.entries) entries.push_back(value(entry));
  return {{"entries", std::move(entries)}};
}

json value(const GitConflictPrediction& p) {
  json conflicts = json::array();
  for (const auto& c : p.conflicts) {
    json o = {{"kind", std::string(rawValue(c.kind))}};
    putText(o, "rawKind", c.rawKind);
    putTexts(o, "paths", c.paths);
    putText(o, "message", c.message);
    conflicts.push_back(std::move(o));
  }
  json o = {{"clean", p.clean}, {"commits", oids(p.commits)}, {"conflicts", std::move(conflicts)}};
  putOptional(o, "conflictingCommit", p.conflictingCommit, [](const Oid& id) { return id.string(); });
  putTexts(o, "conflictedPaths", p.conflictedPaths);
  putOptional(o, "tree", p.tree, [](const Oid& id) { return id.string(); });
  return o;
}

json value(const GitReflogList& l) {
  json o;
  putTexts(o, "names", {l.names.begin(), l.names.end()});
  return o;
}

json value(const GitQueryMatch& m) {
  json query;
  putText(query, "string", m.query.string);
  query["subject"] = m.query.subject.rawValue;
  json o = {{"query", std::move(query)},
            {"author", m.author},
            {"committer", m.committer},
            {"hash", m.hash},
            {"message", m.message}};
  putTexts(o, "paths", {m.paths.begin(), m.paths.end()});
  putTexts(o, "content", {m.content.begin(), m.content.end()});
  return o;
}

json value(const GitLogEntry& e) {
  json o = {{"id", e.id.string()},
            {"parents", oids(e.parents)},
            {"tree", e.tree.string()},
            {"author", value(e.author)},
            {"committer", value(e.committer)},
            {"isHeadCommit", e.isHeadCommit}};
  putText(o, "message", e.message);
  putText(o, "subject", gitSubject(e.message));
  putOptional(o, "lanes", e.graphLaneRow, [](const GraphLaneRow& row) { return value(row); });
  if (e.stashEntry) o["stash"] = value(*e.stashEntry);
  if (e.queryMatch) o["match"] = value(*e.queryMatch);
  return o;
}

json value(const GitBlameRange& r) {
  json commit = {{"id", r.commit->id.string()},
                 {"author", value(gitSignature(r.commit->author))},
                 {"committer", value(gitSignature(r.commit->committer))},
                 {"boundary", r.commit->boundary}};
  putText(commit, "summary", r.commit->summary);
  json o = {{"commit", std::move(commit)},
            {"originalLine", r.originalLine},
            {"finalLine", r.finalLine},
            {"lineCount", r.lineCount}};
  putText(o, "originalPath", r.originalPath);
  if (r.previousId && r.previousPath) {
    json previous = {{"id", r.previousId->string()}};
    putText(previous, "path", *r.previousPath);
    o["previous"] = std::move(previous);
  }
  return o;
}

json value(const GitFileHistoryEntry& e) {
  static const char* const kChanges[] = {"added", "deleted", "modified", "renamed", "copied"};
  const auto index = static_cast<size_t>(e.change);
  json o = {{"commit", value(e.entry)}, {"change", index < std::size(kChanges) ? kChanges[index] : "modified"}};
  putText(o, "path", e.path);
  putOptionalText(o, "oldPath", e.oldPath);
  return o;
}

json value(const GitExecBranchList& l) {
  json branches = json::array();
  for (const auto& branch : l.branches) {
    json o = {{"isHead", branch.isHead}};
    putText(o, "name", branch.name);
    branches.push_back(std::move(o));
  }
  return {{"branches", std::move(branches)}};
}

json value(const GitRemote& r) {
  json o;
  putText(o, "name", r.name);
  putText(o, "url", withoutURLPasswords(r.urlString));
  return o;
}

json value(const GitSubmodule& s) {
  const auto badge = s.statusString();
  json o = {{"status", std::string(1, s.status)},
            {"changeCount", s.changeCount},
            {"statusString", badge ? json(*badge) : json()}};
  putText(o, "path", s.path);
  return o;
}

json value(const GitSignatureStatus& s) {
  static constexpr const char* kVerdicts[] = {"good",       "bad",        "unknownValidity", "expired",
                                              "expiredKey", "revokedKey", "cannotCheck",     "none"};
  json o = {{"verdict", kVerdicts[static_cast<size_t>(s.verdict)]},
            {"letter", std::string(1, gitSignatureLetter(s.verdict))}};
  putText(o, "signer", s.signer);
  putText(o, "key", s.key);
  return o;
}

json value(const GitWorktree& w) {
  json o = {{"isBare", w.isBare}, {"isDetached", w.isDetached}, {"isLocked", w.isLocked},
            {"isPrunable", w.isPrunable}};
  putText(o, "path", w.path);
  putOptional(o, "head", w.head, [](const Oid& id) { return id.string(); });
  putOptionalText(o, "branch", w.branch);
  if (w.isLocked) putText(o, "lockReason", w.lockReason);
  if (w.isPrunable) putText(o, "prunableReason", w.prunableReason);
  return o;
}

json value(const GitToolAvailability& t) {
  json o = {{"installed", t.isInstalled}, {"directoryDiff", t.supportsDirectoryDiff}, {"path", nullptr}};
  putText(o, "name", t.name);
  putOptionalText(o, "path", t.path);
  return o;
}

template <class T> json array(const std::vector<T>& records) {
  json out = json::array();
  for (const auto& record : records) out.push_back(value(record));
  return out;
}

json textDocument(const char* key, std::string_view text) {
  json o = json::object();
  putText(o, key, text);
  return o;
}

// The aspects a change summary names, in the order it names them.
constexpr std::pair<GitAspects, const char*> kNamedAspects[] = {
    {GitAspects::head, "head"},       {GitAspects::status, "status"},         {GitAspects::refs, "refs"},
    {GitAspects::stashes, "stashes"}, {GitAspects::stateFiles, "stateFiles"}, {GitAspects::config, "config"},
    {GitAspects::submodules, "submodules"}, {GitAspects::reflogs, "reflogs"}, {GitAspects::worktrees, "worktrees"},
};

// Written as status records write their modes: 100644, not 33188.
int64_t modeDigits(GitMode mode) {
  int64_t digits = 0, place = 1;
  for (uint64_t rest = mode.decimal; rest != 0; rest /= 8, place *= 10)
    digits += static_cast<int64_t>(rest % 8) * place;
  return digits;
}

} // namespace

std::string toJson(const GitTimestamp& v) { return dumped(value(v)); }
std::string toJson(const GitSignature& v) { return dumped(value(v)); }
std::string toJson(const GitCount& v) { return dumped(value(v)); }
std::string toJson(const GitRef& v) { return dumped(value(v)); }
std::string toJson(const GitHead& v) { return dumped(value(v)); }
std::string toJson(const GitHeadList& v) { return dumped(value(v)); }
std::string toJson(const GitBisectState& v) { return dumped(value(v)); }
std::string toJson(const GitRepositoryDescriptor& v) { return dumped(value(v)); }
std::string toJson(const GraphLaneRow& v) { return dumped(value(v)); }
std::string toJson(const GitStashEntry& v) { return dumped(value(v)); }
std::string toJson(const GitStashList& v) { return dumped(value(v)); }
std::string toJson(const GitReflogList& v) { return dumped(value(v)); }
std::string toJson(const GitQueryMatch& v) { return dumped(value(v)); }
std::string toJson(const GitLogEntry& v) { return dumped(value(v)); }
std::string toJson(const GitBlameRange& v) { return dumped(value(v)); }
std::string toJson(const GitFileHistoryEntry& v) { return dumped(value(v)); }
std::string toJson(const GitExecBranchList& v) { return dumped(value(v)); }
std::string toJson(const GitConflictPrediction& v) { return dumped(value(v)); }
std::string toJson(const GitSignatureStatus& v) { return dumped(value(v)); }
std::string toJson(const GitLogEntry& entry, const GitSignatureStatus& signature) {
  json row = value(entry);
  row["signature"] = value(signature);
  return dumped(row);
}

std::string toJson(const std::vector<GitRemote>& v) { return dumped(array(v)); }
std::string toJson(const std::vector<GitUndoEntry>& v) { return dumped(array(v)); }
std::string toJson(const std::vector<GitSubmodule>& v) { return dumped(array(v)); }
std::string toJson(const std::vector<GitToolAvailability>& v) { return dumped(array(v)); }
std::string toJson(const std::vector<GitWorktree>& v) { return dumped(array(v)); }

std::string configValueJson(std::string_view key, std::string_view value) {
  json o = textDocument("key", key);
  putText(o, "value", value);
  return dumped(o);
}
std::string commitJson(const Oid& commit) { return dumped({{"oid", commit.string()}}); }
std::string readmeJson(const std::optional<Url>& readme) {
  return dumped(readme ? textDocument("readmeURL", readme->absoluteString()) : json::object());
}
std::string transferResultJson(std::string_view result) { return dumped(textDocument("result", result)); }
std::string flowOutputJson(std::string_view output) { return dumped(textDocument("output", output)); }
std::string bisectLogJson(std::string_view log) { return dumped(textDocument("log", log)); }
std::string toolComparedJson(size_t compared) { return dumped({{"compared", compared}}); }
std::string toolResolvedJson(size_t resolved, const std::vector<std::string>& remaining) {
  json o = {{"resolved", resolved}};
  putTexts(o, "remaining", remaining);
  return dumped(o);
}

std::string viewChangeJson(const GitView& view, GitAspects aspects) {
  constexpr size_t kListedPaths = 20;
  json line = {{"aspects", json::array()}};
  for (const auto& [aspect, name] : kNamedAspects)
    if (aspects.contains(aspect)) line["aspects"].push_back(name);
  auto count = [&](GitAspects aspect, const char* key, size_t n) {
    if (aspects.contains(aspect)) line[key] = {{"count", n}};
  };
  // A change of state comes with head's; either gets the whole summary.
  if (aspects.containsAny({GitAspects::head, GitAspects::stateFiles})) {
    const GitHead& head = view.headList.head;
    json summary = {{"branch", nullptr},
                    {"commit", head.commit ? json(head.commit->string()) : json()},
                    {"detached", head.isSymbolic},
                    {"state", stateName(view.headList.stateFiles.state)}};
    if (!head.isSymbolic && head.refname) putText(summary, "branch", *head.refname);
    line["head"] = std::move(summary);
  }
  if (aspects.contains(GitAspects::status)) {
    std::vector<std::string> paths;
    if (view.status)
      for (const auto& entry : view.status->entries) {
        if (paths.size() == kListedPaths) break;
        if (auto path = entry.path()) paths.push_back(*path);
      }
    json status = {{"count", view.status ? view.status->entries.size() : 0}};
    putTexts(status, "paths", paths);
    line["status"] = std::move(status);
  }
  count(GitAspects::refs, "refs", view.refs ? view.refs->all.size() : 0);
  count(GitAspects::stashes, "stashes", view.stashList.entries.size());
  count(GitAspects::config, "config", view.config ? view.config->values().size() : 0);
  count(GitAspects::submodules, "submodules", view.submodules.size());
  count(GitAspects::reflogs, "reflogs", view.reflogs.names.size());
  count(GitAspects::worktrees, "worktrees", view.worktrees.size());
  return dumped(line);
}

void GitJsonArrayWriter::append(std::string_view element) {
  if (!indented_) {
    out_ << (started_ ? "," : "[") << element;
    started_ = true;
    return;
  }
  std::string row = indentedJson(element);
  for (size_t at = row.find('\n'); at != std::string::npos; at = row.find('\n', at + 3)) row.replace(at, 1, "\n  ");
  if (started_) out_ << "  " << pending_ << ",\n";
  else out_ << "[\n";
  started_ = true;
  pending_ = std::move(row);
}

void GitJsonArrayWriter::finish() {
  if (!started_) out_ << "[]\n";
  else if (indented_) out_ << "  " << pending_ << "\n]\n";
  else out_ << "]\n";
}

std::string indentedJson(std::string_view text, int indent) {
  try {
    return dumped(json::parse(text), indent);
  } catch (const json::exception& error) {
    throw TavrikError("Invalid JSON", error.what());
  }
}

std::string stateName(GitState state) {
  switch (state) {
  case GitState::none: return "none";
  case GitState::merge: return "merge";
  case GitState::revert: return "revert";
  case GitState::revertSequence: return "revertSequence";
  case GitState::cherrypick: return "cherrypick";
  case GitState::cherrypickSequence: return "cherrypickSequence";
  case GitState::bisect: return "bisect";
  case GitState::rebase: return "rebase";
  case GitState::rebaseInteractive: return "rebaseInteractive";
  case GitState::rebaseMerge: return "rebaseMerge";
  case GitState::applyMailbox: return "applyMailbox";
  case GitState::applyMailboxOrRebase: return "applyMailboxOrRebase";
  }
  return "none";
}

std::string jsonSafe(std::string_view s) {
  if (isValidUTF8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    // Take the longest valid sequence starting here (1 to 4 bytes).
    size_t len = 0;
    for (size_t n = 1; n <= 4 && i + n <= s.size(); ++n) {
      if (isValidUTF8(s.substr(i, n))) {
        len = n;
        break;
      }
    }
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

namespace {

// Compact JSON written record by record into a buffer that goes out in large
// writes. A `json` document of every record would cost more than git's own
// run on a large repository (a tree node and a key string per field), so the
// records are written field by field; the text is what `json::dump()` gives
// for the same document: keys in sorted order, strings escaped as it escapes
// them, text that is not UTF-8 made valid by `jsonSafe`.
class RecordWriter {
public:
  explicit RecordWriter(std::ostream& out) : out_(out) { buffer_.reserve(kChunk + 4096); }
  ~RecordWriter() { flush(); }

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  /// Our own keys are plain ASCII. Returns the writer for the value.
  RecordWriter& key(std::string_view name) {
    separate();
    buffer_ += '"';
    buffer_ += name;
    buffer_ += "\":";
    first_ = true;
    return *this;
  }
  /// Returns false when `text` was not UTF-8 and went out made valid.
  bool string(std::string_view text) {
    separate();
    const bool valid = isValidUTF8(text);
    if (valid)
      escaped(text);
    else
      escaped(jsonSafe(text));
    maybeFlush();
    return valid;
  }
  /// A text field, followed by "<key>Quoted" when the text is not UTF-8.
  void text(std::string_view name, std::string_view value) {
    if (!key(name).string(value)) key(std::string(name) + "Quoted").string(gitQuotedPath(value));
  }
  /// "<key>Quoted" with every item quoted, when some item is not UTF-8.
  void quotedTexts(std::string_view name, const std::vector<std::string>& items) {
    if (std::all_of(items.begin(), items.end(), [](const auto& item) { return isValidUTF8(item); })) return;
    key(name).beginArray();
    for (const auto& item : items) string(gitQuotedPath(item));
    endArray();
  }
  void number(int64_t value) {
    separate();
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    buffer_.append(digits, end);
  }
  void boolean(bool value) {
    separate();
    buffer_ += value ? "true" : "false";
  }
  /// 40 hexadecimal digits, written in place: a string per id cost an
  /// allocation for each of the three ids of every reference.
  void oid(const Oid& id) {
    separate();
    char digits[Oid::kHexSize + 2];
    digits[0] = digits[Oid::kHexSize + 1] = '"';
    id.writeHex(digits + 1);
    buffer_.append(digits, sizeof digits);
  }
  void strings(const std::vector<std::string>& items) {
    beginArray();
    for (const auto& item : items) string(item);
    endArray();
  }
  /// Writes the next value through `write` and returns its text, valid
  /// until `flushIfFull` or the next write.
  template <class Write> std::string_view captured(Write&& write) {
    separate();
    first_ = true;
    const size_t start = buffer_.size();
    capturing_ = true;
    write();
    capturing_ = false;
    return std::string_view(buffer_).substr(start);
  }
  /// The text of a value written before, as the next value.
  void raw(std::string_view text) {
    separate();
    buffer_ += text;
    first_ = false;
    maybeFlush();
  }
  void flushIfFull() { maybeFlush(); }
  template <class T, class Write> void optional(std::string_view name, const std::optional<T>& v, Write&& write) {
    if (!v) return;
    key(name);
    write(*v);
  }

private:
  static constexpr size_t kChunk = 1 << 16;

  void separate() {
    if (!first_) buffer_ += ',';
    first_ = false;
  }
  void open(char bracket) {
    separate();
    buffer_ += bracket;
    first_ = true;
  }
  void close(char bracket) {
    buffer_ += bracket;
    first_ = false;
    maybeFlush();
  }
  void escaped(std::string_view text) {
    buffer_ += '"';
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      buffer_.append(text.substr(run, i - run));
      run = i + 1;
      switch (c) {
      case '"': buffer_ += "\\\""; break;
      case '\\': buffer_ += "\\\\"; break;
      case '\b': buffer_ += "\\b"; break;
      case '\t': buffer_ += "\\t"; break;
      case '\n': buffer_ += "\\n"; break;
      case '\f': buffer_ += "\\f"; break;
      case '\r': buffer_ += "\\r"; break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        buffer_ += "\\u00";
        buffer_ += kHex[c >> 4];
        buffer_ += kHex[c & 0xF];
      }
      }
    }
    buffer_.append(text.substr(run));
    buffer_ += '"';
  }
  void maybeFlush() {
    if (!capturing_ && buffer_.size() >= kChunk) flush();
  }
  void flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

  std::ostream& out_;
  std::string buffer_;
  bool first_ = true;
  bool capturing_ = false; // while set, the buffer is not flushed
};

void writeOid(RecordWriter& w, const Oid& id) { w.oid(id); }

// The form of `value(GitTimestamp)`, without building a document for it.
void writeTimestamp(RecordWriter& w, const GitTimestamp& t) {
  w.beginObject();
  w.key("date").string(t.iso8601String());
  w.key("offset").number(static_cast<int64_t>(std::llround(t.offset)));
  w.endObject();
}

void writeRef(RecordWriter& w, const GitRef& r) {
  w.beginObject();
  w.optional("commit", r.commit, [&](const Oid& id) { writeOid(w, id); });
  w.optional("creatorDate", r.creatorDate, [&](const GitTimestamp& t) { writeTimestamp(w, t); });
  w.key("isHead").boolean(r.isHead);
  w.text("name", r.name);
  w.key("path").strings(r.path);
  w.key("pathPrefix").strings(r.pathPrefix);
  w.quotedTexts("pathPrefixQuoted", r.pathPrefix);
  w.quotedTexts("pathQuoted", r.path);
  w.text("shorthand", r.shorthand);
  if (r.symbolicTarget) w.text("symbolicTarget", *r.symbolicTarget);
  w.optional("target", r.target, [&](const Oid& id) { writeOid(w, id); });
  w.key("type").number(static_cast<int>(r.type));
  w.key("upstreamCount").beginObject();
  w.key("left").number(r.upstreamCount.left);
  w.key("right").number(r.upstreamCount.right);
  w.endObject();
  if (r.upstreamName) w.text("upstreamName", *r.upstreamName);
  if (r.upstreamRemote) w.text("upstreamRemote", *r.upstreamRemote);
  w.endObject();
}

void writeDiffFile(RecordWriter& w, const GitDiffFile& file) {
  w.beginObject();
  w.key("mode").number(modeDigits(file.mode));
  w.key("oid");
  writeOid(w, file.oid);
  if (file.path) w.text("path", *file.path);
  w.endObject();
}

void writeDiff(RecordWriter& w, const GitDiff& d, bool withPatch) {
  auto number = [&](int64_t v) { w.number(v); };
  w.beginObject();
  if (withPatch) {
    w.key("hunks").beginArray();
    for (const auto& h : d.hunks) {
      w.beginObject();
      w.key("newStart").number(h.newStart);
      w.key("oldStart").number(h.oldStart);
      w.key("rangeBegin").number(static_cast<int64_t>(h.rangeBegin));
      w.key("rangeEnd").number(static_cast<int64_t>(h.rangeEnd));
      w.endObject();
    }
    w.endArray();
    w.key("isBinary").boolean(d.isBinary());
    w.key("lines").beginArray();
    for (const auto& line : d.lines) {
      w.beginObject();
      w.key("index").number(line.index);
      w.optional("newLineNumber", line.newLineNumber, number);
      w.optional("oldLineNumber", line.oldLineNumber, number);
      w.optional("origin", line.origin, [&](char c) { w.string({&c, 1}); });
      w.text("text", line.string());
      w.key("type").string(toString(line.type));
      w.endObject();
    }
    w.endArray();
  }
  w.key("newFile");
  writeDiffFile(w, d.newFile);
  w.key("oldFile");
  writeDiffFile(w, d.oldFile);
  w.optional("similarity", d.similarity, number);
  w.key("stats").beginObject();
  w.key("deletions").number(d.stats.deletions);
  w.key("insertions").number(d.stats.insertions);
  w.endObject();
  const char status = rawValue(d.status);
  w.key("status").string({&status, 1});
  w.endObject();
}

// A list's references appear in `all` and again in their groups and as
// `head`: each record's text is made once and repeated for its equal copies.
class RefTexts {
public:
  void write(RecordWriter& w, const GitRef& r) {
    const auto found = written_.find(r.name);
    // A group's record is the one in `all`; equal copies (a head) reuse it too.
    if (found != written_.end() && (found->second.ref == &r || *found->second.ref == r)) {
      w.raw(std::string_view(texts_).substr(found->second.offset, found->second.size));
      return;
    }
    const auto text = w.captured([&] { writeRef(w, r); });
    if (found == written_.end()) {
      written_.emplace(r.name, Written{&r, texts_.size(), text.size()});
      texts_ += text;
    }
    w.flushIfFull();
  }

private:
  struct Written {
    const GitRef* ref;
    size_t offset, size;
  };
  std::string texts_;
  std::unordered_map<std::string_view, Written> written_; // keys view the names of the list written
};

template <typename Refs> void writeRefs(RecordWriter& w, RefTexts& texts, std::string_view name, const Refs& refs) {
  w.key(name).beginArray();
  for (const auto& r : refs) texts.write(w, r);
  w.endArray();
}

void writeEntry(RecordWriter& w, const GitStatusEntry& e) {
  auto number = [&](int64_t v) { w.number(v); };
  auto oid = [&](const Oid& id) { writeOid(w, id); };
  const char status[] = {rawValue(e.index), rawValue(e.worktree)};
  w.beginObject();
  w.key("index").string({status, 1});
  w.optional("modeHead", e.modeHead, number);
  w.optional("modeIndex", e.modeIndex, number);
  w.optional("modeStage1", e.modeStage1, number);
  w.optional("modeStage2", e.modeStage2, number);
  w.optional("modeStage3", e.modeStage3, number);
  w.optional("modeWorktree", e.modeWorktree, number);
  w.optional("modificationDate", e.modificationDate, [&](Date d) { w.string(utcDateString(d)); });
  if (e.newPath) w.text("newPath", *e.newPath);
  w.optional("oidHead", e.oidHead, oid);
  w.optional("oidIndex", e.oidIndex, oid);
  w.optional("oidStage1", e.oidStage1, oid);
  w.optional("oidStage2", e.oidStage2, oid);
  w.optional("oidStage3", e.oidStage3, oid);
  if (e.oldPath) w.text("oldPath", *e.oldPath);
  w.optional("score", e.score, number);
  w.key("submoduleState").beginObject();
  w.key("commitChanged").boolean(e.submoduleState.commitChanged);
  w.key("hasTrackedChanges").boolean(e.submoduleState.hasTrackedChanges);
  w.key("hasUntrackedChanges").boolean(e.submoduleState.hasUntrackedChanges);
  w.key("isSubmodule").boolean(e.submoduleState.isSubmodule);
  w.endObject();
  w.key("worktree").string({status + 1, 1});
  w.endObject();
}

} // namespace

void writeJson(std::ostream& out, const GitRefList& l) {
  RecordWriter w(out);
  RefTexts texts;
  w.beginObject();
  writeRefs(w, texts, "all", l.all);
  writeRefs(w, texts, "branch", l.branches());
  writeRefs(w, texts, "direct", l.direct());
  if (l.head) {
    w.key("head");
    texts.write(w, *l.head);
  }
  writeRefs(w, texts, "remote", l.remoteBranches());
  writeRefs(w, texts, "symbolic", l.symbolic());
  writeRefs(w, texts, "tag", l.tags());
  // The dictionary from commit to references, with reference names as values
  // (the full records are already listed above). Object ids order as their
  // hex forms do.
  w.key("targets").beginObject();
  for (const auto& oid : l.targetCommits()) {
    w.key(oid.string()).beginArray();
    for (const auto& r : l.pointingAt(oid)) w.string(r.name);
    w.endArray();
  }
  w.endObject();
  w.endObject();
}

void writeJson(std::ostream& out, const GitDiffList& l, bool withPatch) {
  RecordWriter w(out);
  w.beginObject();
  w.key("files").beginArray();
  for (const auto& d : l.diffs) writeDiff(w, *d, withPatch);
  w.endArray();
  w.endObject();
}

void writeJson(std::ostream& out, const GitStatusList& l) {
  RecordWriter w(out);
  w.beginObject();
  w.key("entries").beginArray();
  for (const auto& e : l.entries) writeEntry(w, e);
  w.endArray();
  w.endObject();
}

namespace {

// The fields of one JSON object of a record; a missing required field, a
// field of the wrong kind and a malformed id or date throw.
class Fields {
public:
  Fields(const json& object, std::string_view record) : object_(object), record_(record) {
    if (!object.is_object()) fail("not an object");
  }

  [[noreturn]] void fail(const std::string& why) const {
    throw TavrikError("Invalid JSON for " + std::string(record_), why);
  }
  bool has(const char* key) const { return object_.contains(key); }
  const json& required(const char* key) const {
    auto found = object_.find(key);
    if (found == object_.end()) fail(std::string("\"") + key + "\" is missing");
    return *found;
  }
  std::string text(const char* key) const {
    auto quoted = object_.find(std::string(key) + "Quoted");
    return quoted == object_.end() ? required(key).get<std::string>() : unquoted(quoted->get<std::string>());
  }
  std::optional<std::string> optionalText(const char* key) const {
    return has(key) ? std::optional(text(key)) : std::nullopt;
  }
  std::vector<std::string> texts(const char* key) const {
    auto quoted = object_.find(std::string(key) + "Quoted");
    auto items = (quoted == object_.end() ? required(key) : *quoted).get<std::vector<std::string>>();
    if (quoted != object_.end())
      for (auto& item : items) item = unquoted(item);
    return items;
  }
  Oid oid(const char* key) const {
    auto id = Oid::parse(required(key).get<std::string>());
    if (!id) fail(std::string("\"") + key + "\" is no object id");
    return *id;
  }
  std::optional<Oid> optionalOid(const char* key) const { return has(key) ? std::optional(oid(key)) : std::nullopt; }
  std::vector<Oid> oids(const char* key) const {
    std::vector<Oid> ids;
    for (const auto& item : required(key)) {
      auto id = Oid::parse(item.get<std::string>());
      if (!id) fail(std::string("\"") + key + "\" holds no object id");
      ids.push_back(*id);
    }
    return ids;
  }
  // get<int64_t>() would take 1.5 as 1.
  int64_t integer(const char* key) const {
    const json& value = required(key);
    if (!value.is_number_integer()) fail(std::string("\"") + key + "\" is no whole number");
    return value.get<int64_t>();
  }
  bool boolean(const char* key) const { return required(key).get<bool>(); }

private:
  std::string unquoted(const std::string& text) const {
    if (text.empty() || text.front() != '"') return text;
    auto name = gitUnquotedPrefix(text);
    if (!name || name->length != text.size()) fail("a quoted text is malformed");
    return name->name;
  }

  const json& object_;
  std::string_view record_;
};

GitTimestamp readTimestamp(const json& object) {
  Fields f(object, "GitTimestamp");
  auto timestamp = GitTimestamp::fromStrictISO8601(f.required("date").get<std::string>());
  if (!timestamp) f.fail("\"date\" is no ISO 8601 date with a zone");
  timestamp->offset = static_cast<double>(f.integer("offset"));
  return *timestamp;
}

GitSignature readSignature(const json& object) {
  Fields f(object, "GitSignature");
  return {f.text("name"), f.text("email"), readTimestamp(f.required("timestamp"))};
}

GitCount readCount(const json& object) {
  Fields f(object, "GitCount");
  return {f.integer("left"), f.integer("right")};
}

GitRef readRef(const json& object) {
  Fields f(object, "GitRef");
  GitRef ref;
  ref.name = f.text("name");
  ref.isHead = f.boolean("isHead");
  ref.symbolicTarget = f.optionalText("symbolicTarget");
  ref.upstreamName = f.optionalText("upstreamName");
  ref.upstreamRemote = f.optionalText("upstreamRemote");
  if (f.has("creatorDate")) ref.creatorDate = readTimestamp(f.required("creatorDate"));
  ref.target = f.optionalOid("target");
  ref.commit = f.optionalOid("commit");
  ref.path = f.texts("path");
  ref.shorthand = f.text("shorthand");
  const auto type = f.integer("type");
  if (type < static_cast<int64_t>(GitRefType::unknown) || type > static_cast<int64_t>(GitRefType::note))
    f.fail("\"type\" is no reference type");
  ref.type = static_cast<GitRefType>(type);
  ref.pathPrefix = f.texts("pathPrefix");
  ref.upstreamCount = readCount(f.required("upstreamCount"));
  ref.worktreePath = f.optionalText("worktreePath");
  return ref;
}

GitHead readHead(const json& object) {
  Fields f(object, "GitHead");
  GitHead head;
  head.commit = f.optionalOid("commit");
  head.refname = f.optionalText("refname");
  head.isSymbolic = f.boolean("isSymbolic");
  if (f.has("lastAuthor")) head.lastAuthor = readSignature(f.required("lastAuthor"));
  head.lastMessage = f.optionalText("lastMessage");
  return head;
}

GitStashEntry readStashEntry(const json& object) {
  Fields f(object, "GitStashEntry");
  GitStashEntry entry;
  entry.index = f.integer("index");
  entry.oid = f.oid("oid");
  entry.tree = f.oid("tree");
  entry.parents = f.oids("parents");
  entry.author = readSignature(f.required("author"));
  entry.committer = readSignature(f.required("committer"));
  entry.message = f.text("message");
  entry.messageWithoutPrefix = f.text("messageWithoutPrefix");
  entry.subject = f.text("subject");
  entry.refname = f.optionalText("refname");
  return entry;
}

GitConflictPrediction readConflictPrediction(const json& object) {
  Fields f(object, "GitConflictPrediction");
  GitConflictPrediction prediction;
  prediction.clean = f.boolean("clean");
  prediction.commits = f.oids("commits");
  prediction.conflictingCommit = f.optionalOid("conflictingCommit");
  prediction.conflictedPaths = f.texts("conflictedPaths");
  for (const auto& item : f.required("conflicts")) {
    Fields c(item, "GitMergeConflict");
    auto kind = conflictKindFromRawValue(c.required("kind").get<std::string>());
    if (!kind) c.fail("\"kind\" is no conflict kind");
    prediction.conflicts.push_back(
        {.kind = *kind, .rawKind = c.text("rawKind"), .paths = c.texts("paths"), .message = c.text("message")});
  }
  prediction.tree = f.optionalOid("tree");
  return prediction;
}

template <class Read> auto readRecord(std::string_view text, std::string_view record, Read read) {
  try {
    return read(json::parse(text));
  } catch (const json::exception& error) {
    throw TavrikError("Invalid JSON for " + std::string(record), error.what());
  }
}

} // namespace

GitTimestamp gitTimestampFromJson(std::string_view json) { return readRecord(json, "GitTimestamp", readTimestamp); }
GitSignature gitSignatureFromJson(std::string_view json) { return readRecord(json, "GitSignature", readSignature); }
GitCount gitCountFromJson(std::string_view json) { return readRecord(json, "GitCount", readCount); }
GitRef gitRefFromJson(std::string_view json) { return readRecord(json, "GitRef", readRef); }
GitHead gitHeadFromJson(std::string_view json) { return readRecord(json, "GitHead", readHead); }
GitStashEntry gitStashEntryFromJson(std::string_view json) {
  return readRecord(json, "GitStashEntry", readStashEntry);
}

GitConflictPrediction gitConflictPredictionFromJson(std::string_view json) {
  return readRecord(json, "GitConflictPrediction", readConflictPrediction);
}

} // namespace tavrik
