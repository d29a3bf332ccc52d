#include "TextOutput.h"

#include "tavrik/Util/StringUtilities.h"

#include "tavrik/Json/GitJson.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <vector>

namespace tavrik::cli {

void keepUntilExit(std::shared_ptr<const void> value) {
  // Reachable from a static pointer, so leak checkers do not report it.
  static auto* kept = new std::vector<std::shared_ptr<const void>>;
  kept->push_back(std::move(value));
}

namespace {

char columnLetter(GitStatus status) {
  if (status == GitStatus::unmodified) return ' ';
  return rawValue(status);
}

std::string shortId(const std::optional<Oid>& oid) {
  if (!oid) return "--------";
  char hex[Oid::kHexSize];
  oid->writeHex(hex);
  return std::string(hex, 8);
}

void printHead(std::ostream& out, const char* label, const GitHead& head) {
  out << label << ": " << head.refname.value_or("-");
  if (head.isSymbolic) out << " (symbolic)";
  if (head.commit) out << " " << head.commit->string();
  out << "\n";
  if (head.lastAuthor) {
    out << "  author: " << shownText(head.lastAuthor->name) << " <" << shownText(head.lastAuthor->email) << "> "
        << head.lastAuthor->timestamp.iso8601String() << "\n";
  }
  if (auto subject = head.lastSubject()) out << "  subject: " << shownText(*subject) << "\n";
}

} // namespace

// Quoted as `git status --short` quotes paths with the default core.quotePath:
// control bytes, '"', '\\' and every byte from 0x80 on are escaped, and a
// space alone asks for the quotes, so a name in any encoding prints as git
// shows it.
std::string quotedPath(std::string_view path) { return gitQuotedPath(path); }

std::string shownText(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    case '\r': out += "\\r"; break;
    default:
      if (byte < 0x20 || byte == 0x7f) {
        char octal[5];
        std::snprintf(octal, sizeof octal, "\\%03o", byte);
        out += octal;
      } else {
        out += c;
      }
    }
  }
  return out;
}

void printStatus(std::ostream& out, const GitStatusList& status) {
  if (status.entries.empty()) out << "nothing to commit, working tree clean\n";
  // Rows go out in large writes: a stream insertion per field cost more
  // than reading the list.
  std::string rows;
  for (const auto& entry : status.entries) {
    rows += columnLetter(entry.index);
    rows += columnLetter(entry.worktree);
    rows += ' ';
    if (entry.isRenamed() || entry.either(GitStatus::copied)) {
      appendGitQuotedPath(rows, entry.oldPath ? *entry.oldPath : std::string_view());
      rows += " -> ";
      appendGitQuotedPath(rows, entry.newPath ? *entry.newPath : std::string_view());
    } else {
      const auto& path = entry.newPath ? entry.newPath : entry.oldPath; // path(), without its copy
      appendGitQuotedPath(rows, path ? std::string_view(*path) : std::string_view());
    }
    rows += '\n';
    if (rows.size() >= 1 << 16) {
      out << rows;
      rows.clear();
    }
  }
  out << rows;
}

void printDiffStats(std::ostream& out, const GitDiffList& list) {
  for (const auto& diff : list.diffs) {
    out << rawValue(diff->status) << "\t" << diff->stats.insertions << "\t" << diff->stats.deletions << "\t";
    if (diff->status == GitStatus::renamed || diff->status == GitStatus::copied)
      out << quotedPath(diff->oldFile.path.value_or("")) << " -> " << quotedPath(diff->newFile.path.value_or(""));
    else
      out << quotedPath(diff->newFile.path ? *diff->newFile.path : diff->oldFile.path.value_or(""));
    out << "\n";
  }
}

void printRefs(std::ostream& out, const GitRefList& refs) {
  // Each row is put together first and written once: a stream's insertion
  // costs more than the bytes it inserts, many times per row.
  std::string row;
  auto group = [&](const char* heading, const auto& list) {
    if (list.empty()) return;
    out << heading << ":\n";
    for (const auto& ref : list) {
      row.assign(ref.isHead ? "* " : "  ").append(ref.shorthand);
      if (ref.symbolicTarget) {
        row.append(" -> ").append(GitRef::shorthandFor(*ref.symbolicTarget)).append("\n");
        out << row;
        continue;
      }
      row.append("  ").append(shortId(ref.commit));
      if (auto upstream = ref.upstreamShorthand()) {
        row.append("  [").append(*upstream);
        const auto& count = ref.upstreamCount;
        if (count.isAhead() || count.isBehind()) row += ":";
        if (count.isAhead()) row.append(" ahead ").append(std::to_string(count.ahead()));
        if (count.isAhead() && count.isBehind()) row += ",";
        if (count.isBehind()) row.append(" behind ").append(std::to_string(count.behind()));
        row += "]";
      }
      row += "\n";
      out << row;
    }
  };
  group("Branches", refs.branches());
  group("Remote branches", refs.remoteBranches());
  group("Tags", refs.tags());
  std::vector<GitRef> other;
  for (const auto& ref : refs.all)
    if (ref.type == GitRefType::note || ref.type == GitRefType::unknown) other.push_back(ref);
  group("Other", other);
}

void printHeads(std::ostream& out, const GitHeadList& heads) {
  out << "state: " << stateName(heads.stateFiles.state) << "\n";
  out << "state title: " << heads.stateTitle() << "\n";
  printHead(out, "HEAD", heads.head);
  // ORIG_HEAD and MERGE_HEAD exist only after some commands; an absent one is
  // not a head to show.
  if (heads.origHead.commit) printHead(out, "ORIG_HEAD", heads.origHead);
  if (heads.mergeHead.commit) printHead(out, "MERGE_HEAD", heads.mergeHead);
}

void printDescriptor(std::ostream& out, const GitRepositoryDescriptor& d) {
  out << "name: " << shownText(d.displayName) << "\n"
      << "worktree: " << shownText(d.url.path()) << "\n"
      << "git directory: " << shownText(d.gitURL.path()) << "\n"
      << "common directory: " << shownText(d.commonURL.path()) << "\n"
      << "bare: " << (d.isBare ? "yes" : "no") << "\n"
      << "shallow: " << (d.isShallow ? "yes" : "no") << "\n";
}

} // namespace tavrik::cli

namespace tavrik::cli {
namespace {

std::string counted(int64_t n, const char* unit) {
  return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

std::string painted(const std::string& text, const char* color, bool colored) {
  return colored ? std::string("\033[") + color + "m" + text + "\033[m" : text;
}

std::string joined(const std::set<std::string>& paths) {
  std::string out;
  for (const auto& path : paths) out += (out.empty() ? "" : ", ") + quotedPath(path);
  return out;
}

// What a search found, as a lead to the row: "[message] [diff: a.txt] ".
std::string matchText(const GitQueryMatch& match) {
  std::string out;
  if (match.hash) out += "[hash] ";
  if (match.message) out += "[message] ";
  if (match.author) out += "[author] ";
  if (match.committer) out += "[committer] ";
  if (!match.content.empty()) out += "[diff: " + joined(match.content) + "] ";
  if (!match.paths.empty()) out += "[file: " + joined(match.paths) + "] ";
  return out;
}

// A stash's line as its reflog entry reads: git folds each run of blanks
// and line breaks of the message into one space.
std::string foldedMessage(std::string_view message) {
  std::string out;
  bool blank = true;
  for (char c : message) {
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    if (space && blank) continue;
    blank = space;
    out += space ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

} // namespace

void printStashList(std::ostream& out, const GitStashList& stashes) {
  for (const auto& stash : stashes.entries)
    out << stash.stashRefname() << ": " << shownText(foldedMessage(stash.message)) << "\n";
}

void printReflogs(std::ostream& out, const GitReflogList& reflogs) {
  for (const auto& name : reflogs.names) out << shownText(name) << "\n";
}

// Rounded the way git's own relative dates are, so the two read alike.
std::string relativeDate(Date then, Date now) {
  using namespace std::chrono;
  if (now < then) return "in the future";
  int64_t diff = duration_cast<seconds>(now - then).count();
  if (diff < 90) return counted(diff, "second") + " ago";
  diff = (diff + 30) / 60;
  if (diff < 90) return counted(diff, "minute") + " ago";
  diff = (diff + 30) / 60;
  if (diff < 36) return counted(diff, "hour") + " ago";
  diff = (diff + 12) / 24;
  if (diff < 14) return counted(diff, "day") + " ago";
  if (diff < 70) return counted((diff + 3) / 7, "week") + " ago";
  if (diff < 365) return counted((diff + 15) / 30, "month") + " ago";
  if (diff < 1825) {
    const int64_t months = (diff * 12 * 2 + 365) / (365 * 2);
    if (months % 12 == 0) return counted(months / 12, "year") + " ago";
    return counted(months / 12, "year") + ", " + counted(months % 12, "month") + " ago";
  }
  return counted((diff + 183) / 365, "year") + " ago";
}

std::string decorations(const Oid& commit, bool isHeadCommit, const GitRefList& refs, bool colored) {
  std::vector<std::string> names;
  std::optional<std::string> headBranch;
  if (isHeadCommit) {
    if (refs.head && refs.head->commit == commit) headBranch = refs.head->name;
    names.push_back(painted("HEAD", "1;36", colored) +
                    (headBranch ? " -> " + painted(refs.head->shorthand, "1;32", colored) : ""));
  }
  if (const auto found = refs.pointingAt(commit); !found.empty()) {
    // Branches, then remote branches, then tags, as git lists them.
    for (auto type : {GitRefType::branch, GitRefType::remote, GitRefType::tag, GitRefType::unknown}) {
      for (const auto& ref : found) {
        if (ref.type != type || ref.name == headBranch) continue;
        if (type == GitRefType::branch) names.push_back(painted(ref.shorthand, "1;32", colored));
        else if (type == GitRefType::remote) names.push_back(painted(ref.shorthand, "1;31", colored));
        else if (type == GitRefType::tag) names.push_back(painted("tag: " + ref.shorthand, "1;33", colored));
        else names.push_back(painted(ref.name, "1;35", colored));
      }
    }
  }
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

std::string logRowText(const GitLogEntry& entry, const GitRefList& refs, Date now, bool colored) {
  std::string out = painted(entry.id.string().substr(0, 7), "33", colored) + " ";
  if (entry.queryMatch) out += painted(matchText(*entry.queryMatch), "35", colored);
  if (entry.stashEntry) out += entry.stashEntry->stashRefname() + ": ";
  auto names = decorations(entry.id, entry.isHeadCommit, refs, colored);
  if (!names.empty()) out += painted("(", "33", colored) + names + painted(")", "33", colored) + " ";
  out += shownText(entry.stashEntry ? foldedMessage(entry.message) : gitSubject(entry.message)) + " - " +
         shownText(entry.author.name) + ", " +
         relativeDate(entry.author.timestamp.date, now);
  return out;
}

} // namespace tavrik::cli
