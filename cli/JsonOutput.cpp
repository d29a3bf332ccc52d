#include "JsonOutput.h"

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Util/StringUtilities.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>

namespace tavrik::cli {
namespace {

using nlohmann::json;

template <class T, class F> void putOptional(json& object, const char* key, const std::optional<T>& value, F&& form) {
  if (value) object[key] = form(*value);
}

json text(std::string_view s) { return jsonSafe(s); }

std::string utcDateString(Date date) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(date);
  std::time_t t = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

} // namespace

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

// The offset is a whole number of seconds: -25200, never -25200.0.
json toJson(const GitTimestamp& t) {
  return {{"date", t.iso8601String()}, {"offset", static_cast<int64_t>(std::llround(t.offset))}};
}

json toJson(const GitSignature& s) {
  return {{"name", text(s.name)}, {"email", text(s.email)}, {"timestamp", toJson(s.timestamp)}};
}

json toJson(const GitCount& c) { return {{"left", c.left}, {"right", c.right}}; }

json toJson(const GitHead& h) {
  json o;
  putOptional(o, "commit", h.commit, [](const Oid& id) { return id.string(); });
  putOptional(o, "refname", h.refname, text);
  o["isSymbolic"] = h.isSymbolic;
  putOptional(o, "lastAuthor", h.lastAuthor, [](const GitSignature& s) { return toJson(s); });
  putOptional(o, "lastMessage", h.lastMessage, text);
  return o;
}

json toJson(const GitHeadList& l) {
  json files = json::array();
  for (const auto& f : l.stateFiles.set) {
    json file = {{"type", std::string(rawValue(f.type))}};
    putOptional(file, "content", f.content, text);
    files.push_back(std::move(file));
  }
  json o;
  o["stateFiles"] = {{"set", std::move(files)}, {"state", stateName(l.stateFiles.state)}};
  o["stateTitle"] = text(l.stateTitle());
  o["head"] = toJson(l.head);
  o["origHead"] = toJson(l.origHead);
  o["mergeHead"] = toJson(l.mergeHead);
  return o;
}

json toJson(const GitRepositoryDescriptor& d) {
  return {{"url", text(d.url.absoluteString())},
          {"gitURL", text(d.gitURL.absoluteString())},
          {"commonURL", text(d.commonURL.absoluteString())},
          {"isBare", d.isBare},
          {"isShallow", d.isShallow},
          {"displayName", text(d.displayName)}};
}

namespace {

// Written as status records write their modes: 100644, not 33188.
int64_t modeDigits(GitMode mode) {
  int64_t digits = 0, place = 1;
  for (uint64_t rest = mode.decimal; rest != 0; rest /= 8, place *= 10)
    digits += static_cast<int64_t>(rest % 8) * place;
  return digits;
}

} // namespace

namespace {

json oids(const std::vector<Oid>& ids) {
  json out = json::array();
  for (const auto& id : ids) out.push_back(id.string());
  return out;
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

json paths(const std::set<std::string>& set) {
  json out = json::array();
  for (const auto& path : set) out.push_back(text(path));
  return out;
}

} // namespace

json toJson(const GraphLaneRow& row) {
  return {{"commitLane", row.commitLane}, {"lanesIn", lanes(row.lanesIn)}, {"lanesOut", lanes(row.lanesOut)}};
}

json toJson(const GitStashEntry& s) {
  json o = {{"index", s.index},
            {"oid", s.oid.string()},
            {"tree", s.tree.string()},
            {"parents", oids(s.parents)},
            {"author", toJson(s.author)},
            {"committer", toJson(s.committer)},
            {"message", text(s.message)},
            {"messageWithoutPrefix", text(s.messageWithoutPrefix)},
            {"subject", text(s.subject)}};
  putOptional(o, "refname", s.refname, text);
  return o;
}

json toJson(const GitStashList& l) {
  json entries = json::array();
  for (const auto& entry : l.entries) entries.push_back(toJson(entry));
  return {{"entries", std::move(entries)}};
}

json toJson(const GitReflogList& l) { return {{"names", paths(l.names)}}; }

json toJson(const GitQueryMatch& m) {
  return {{"query", {{"string", text(m.query.string)}, {"subject", m.query.subject.rawValue}}},
          {"author", m.author},
          {"committer", m.committer},
          {"hash", m.hash},
          {"message", m.message},
          {"paths", paths(m.paths)},
          {"content", paths(m.content)}};
}

json toJson(const GitLogEntry& e) {
  json o = {{"id", e.id.string()},
            {"parents", oids(e.parents)},
            {"tree", e.tree.string()},
            {"author", toJson(e.author)},
            {"committer", toJson(e.committer)},
            {"message", text(e.message)},
            {"subject", text(gitSubject(e.message))},
            {"isHeadCommit", e.isHeadCommit}};
  putOptional(o, "lanes", e.graphLaneRow, [](const GraphLaneRow& row) { return toJson(row); });
  if (e.stashEntry) o["stash"] = toJson(*e.stashEntry);
  if (e.queryMatch) o["match"] = toJson(*e.queryMatch);
  return o;
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
  void string(std::string_view text) {
    separate();
    if (isValidUTF8(text))
      escaped(text);
    else
      escaped(jsonSafe(text));
    maybeFlush();
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
  void value(const json& v) {
    separate();
    buffer_ += v.dump(-1, ' ', false, json::error_handler_t::replace);
  }
  void strings(const std::vector<std::string>& items) {
    beginArray();
    for (const auto& item : items) string(item);
    endArray();
  }
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
    if (buffer_.size() >= kChunk) flush();
  }
  void flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

  std::ostream& out_;
  std::string buffer_;
  bool first_ = true;
};

void writeOid(RecordWriter& w, const Oid& id) { w.string(id.string()); }

void writeRef(RecordWriter& w, const GitRef& r) {
  w.beginObject();
  w.optional("commit", r.commit, [&](const Oid& id) { writeOid(w, id); });
  w.optional("creatorDate", r.creatorDate, [&](const GitTimestamp& t) { w.value(toJson(t)); });
  w.key("isHead").boolean(r.isHead);
  w.key("name").string(r.name);
  w.key("path").strings(r.path);
  w.key("pathPrefix").strings(r.pathPrefix);
  w.key("shorthand").string(r.shorthand);
  w.optional("symbolicTarget", r.symbolicTarget, [&](const std::string& t) { w.string(t); });
  w.optional("target", r.target, [&](const Oid& id) { writeOid(w, id); });
  w.key("type").number(static_cast<int>(r.type));
  w.key("upstreamCount").beginObject();
  w.key("left").number(r.upstreamCount.left);
  w.key("right").number(r.upstreamCount.right);
  w.endObject();
  w.optional("upstreamName", r.upstreamName, [&](const std::string& t) { w.string(t); });
  w.optional("upstreamRemote", r.upstreamRemote, [&](const std::string& t) { w.string(t); });
  w.endObject();
}

void writeDiffFile(RecordWriter& w, const GitDiffFile& file) {
  w.beginObject();
  w.key("mode").number(modeDigits(file.mode));
  w.key("oid");
  writeOid(w, file.oid);
  w.optional("path", file.path, [&](const std::string& p) { w.string(p); });
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
      w.key("text").string(line.string());
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

void writeRefs(RecordWriter& w, std::string_view name, const std::vector<GitRef>& refs) {
  w.key(name).beginArray();
  for (const auto& r : refs) writeRef(w, r);
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
  w.optional("newPath", e.newPath, [&](const std::string& p) { w.string(p); });
  w.optional("oidHead", e.oidHead, oid);
  w.optional("oidIndex", e.oidIndex, oid);
  w.optional("oidStage1", e.oidStage1, oid);
  w.optional("oidStage2", e.oidStage2, oid);
  w.optional("oidStage3", e.oidStage3, oid);
  w.optional("oldPath", e.oldPath, [&](const std::string& p) { w.string(p); });
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
  w.beginObject();
  writeRefs(w, "all", l.all);
  writeRefs(w, "branch", l.branch);
  writeRefs(w, "direct", l.direct);
  if (l.head) {
    w.key("head");
    writeRef(w, *l.head);
  }
  writeRefs(w, "remote", l.remote);
  writeRefs(w, "symbolic", l.symbolic);
  writeRefs(w, "tag", l.tag);
  // The dictionary from commit to references, with reference names as values
  // (the full records are already listed above). Object ids order as their
  // hex forms do.
  w.key("targets").beginObject();
  for (const auto& [oid, list] : l.targets) {
    w.key(oid.string()).beginArray();
    for (const auto& r : list) w.string(r.name);
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

} // namespace tavrik::cli
