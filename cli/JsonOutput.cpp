#include "JsonOutput.h"

#include "tavrik/Process/GitBuffer.h"

#include <chrono>
#include <ctime>

namespace tavrik::cli {
namespace {

using nlohmann::json;

template <class T, class F> void putOptional(json& object, const char* key, const std::optional<T>& value, F&& form) {
  if (value) object[key] = form(*value);
}

json text(std::string_view s) { return jsonSafe(s); }

json textArray(const std::vector<std::string>& items) {
  json array = json::array();
  for (const auto& item : items) array.push_back(text(item));
  return array;
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

json toJson(const GitTimestamp& t) { return {{"date", t.iso8601String()}, {"offset", t.offset}}; }

json toJson(const GitSignature& s) {
  return {{"name", text(s.name)}, {"email", text(s.email)}, {"timestamp", toJson(s.timestamp)}};
}

json toJson(const GitCount& c) { return {{"left", c.left}, {"right", c.right}}; }

json toJson(const GitRef& r) {
  json o;
  o["name"] = text(r.name);
  o["isHead"] = r.isHead;
  putOptional(o, "symbolicTarget", r.symbolicTarget, text);
  putOptional(o, "upstreamName", r.upstreamName, text);
  putOptional(o, "upstreamRemote", r.upstreamRemote, text);
  putOptional(o, "creatorDate", r.creatorDate, [](const GitTimestamp& t) { return toJson(t); });
  putOptional(o, "target", r.target, [](const Oid& id) { return id.string(); });
  putOptional(o, "commit", r.commit, [](const Oid& id) { return id.string(); });
  o["path"] = textArray(r.path);
  o["shorthand"] = text(r.shorthand);
  o["type"] = static_cast<int>(r.type);
  o["pathPrefix"] = textArray(r.pathPrefix);
  o["upstreamCount"] = toJson(r.upstreamCount);
  return o;
}

json toJson(const GitRefList& l) {
  auto refs = [](const std::vector<GitRef>& list) {
    json array = json::array();
    for (const auto& r : list) array.push_back(toJson(r));
    return array;
  };
  json o;
  putOptional(o, "head", l.head, [](const GitRef& r) { return toJson(r); });
  o["all"] = refs(l.all);
  o["direct"] = refs(l.direct);
  o["symbolic"] = refs(l.symbolic);
  o["branch"] = refs(l.branch);
  o["remote"] = refs(l.remote);
  o["tag"] = refs(l.tag);
  // The dictionary from commit to references, with reference names as values
  // (the full records are already listed above).
  json targets = json::object();
  for (const auto& [oid, list] : l.targets) {
    json names = json::array();
    for (const auto& r : list) names.push_back(text(r.name));
    targets[oid.string()] = std::move(names);
  }
  o["targets"] = std::move(targets);
  return o;
}

json toJson(const GitStatusEntry& e) {
  json o;
  o["index"] = std::string(1, rawValue(e.index));
  o["worktree"] = std::string(1, rawValue(e.worktree));
  putOptional(o, "oldPath", e.oldPath, text);
  putOptional(o, "newPath", e.newPath, text);
  o["submoduleState"] = {{"isSubmodule", e.submoduleState.isSubmodule},
                         {"commitChanged", e.submoduleState.commitChanged},
                         {"hasTrackedChanges", e.submoduleState.hasTrackedChanges},
                         {"hasUntrackedChanges", e.submoduleState.hasUntrackedChanges}};
  auto number = [](int64_t v) { return v; };
  auto oid = [](const Oid& id) { return id.string(); };
  putOptional(o, "modeStage1", e.modeStage1, number);
  putOptional(o, "modeStage2", e.modeStage2, number);
  putOptional(o, "modeStage3", e.modeStage3, number);
  putOptional(o, "modeHead", e.modeHead, number);
  putOptional(o, "modeIndex", e.modeIndex, number);
  putOptional(o, "modeWorktree", e.modeWorktree, number);
  putOptional(o, "oidStage1", e.oidStage1, oid);
  putOptional(o, "oidStage2", e.oidStage2, oid);
  putOptional(o, "oidStage3", e.oidStage3, oid);
  putOptional(o, "oidHead", e.oidHead, oid);
  putOptional(o, "oidIndex", e.oidIndex, oid);
  putOptional(o, "score", e.score, number);
  putOptional(o, "modificationDate", e.modificationDate, utcDateString);
  return o;
}

json toJson(const GitStatusList& l) {
  json entries = json::array();
  for (const auto& e : l.entries) entries.push_back(toJson(e));
  return {{"entries", std::move(entries)}};
}

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

} // namespace tavrik::cli
