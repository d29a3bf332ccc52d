#include "TextOutput.h"

#include "tavrik/Util/StringUtilities.h"

#include "JsonOutput.h"

#include <cstdio>

namespace tavrik::cli {
namespace {

char columnLetter(GitStatus status) {
  if (status == GitStatus::unmodified) return ' ';
  return rawValue(status);
}

std::string shortId(const std::optional<Oid>& oid) { return oid ? oid->string().substr(0, 8) : "--------"; }

void printHead(std::ostream& out, const char* label, const GitHead& head) {
  out << label << ": " << head.refname.value_or("-");
  if (head.isSymbolic) out << " (symbolic)";
  if (head.commit) out << " " << head.commit->string();
  out << "\n";
  if (head.lastAuthor) {
    out << "  author: " << head.lastAuthor->name << " <" << head.lastAuthor->email << "> "
        << head.lastAuthor->timestamp.iso8601String() << "\n";
  }
  if (auto subject = head.lastSubject()) out << "  subject: " << *subject << "\n";
}

} // namespace

// Quoted as `git status --short` quotes paths with the default core.quotePath:
// control bytes, '"', '\\' and every byte from 0x80 on are escaped, and a
// space alone asks for the quotes, so a name in any encoding prints as git
// shows it.
std::string quotedPath(std::string_view path) { return gitQuotedPath(path); }

void printStatus(std::ostream& out, const GitStatusList& status) {
  if (status.entries.empty()) out << "nothing to commit, working tree clean\n";
  for (const auto& entry : status.entries) {
    out << columnLetter(entry.index) << columnLetter(entry.worktree) << " ";
    if (entry.isRenamed() || entry.either(GitStatus::copied)) {
      out << quotedPath(entry.oldPath.value_or("")) << " -> " << quotedPath(entry.newPath.value_or(""));
    } else {
      out << quotedPath(entry.path().value_or(""));
    }
    out << "\n";
  }
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
  auto group = [&](const char* heading, const std::vector<GitRef>& list) {
    if (list.empty()) return;
    out << heading << ":\n";
    for (const auto& ref : list) {
      out << (ref.isHead ? "* " : "  ") << ref.shorthand;
      if (ref.symbolicTarget) {
        out << " -> " << GitRef::shorthandFor(*ref.symbolicTarget) << "\n";
        continue;
      }
      out << "  " << shortId(ref.commit);
      if (auto upstream = ref.upstreamShorthand()) {
        out << "  [" << *upstream;
        const auto& count = ref.upstreamCount;
        if (count.isAhead() || count.isBehind()) out << ":";
        if (count.isAhead()) out << " ahead " << count.ahead();
        if (count.isAhead() && count.isBehind()) out << ",";
        if (count.isBehind()) out << " behind " << count.behind();
        out << "]";
      }
      out << "\n";
    }
  };
  group("Branches", refs.branch);
  group("Remote branches", refs.remote);
  group("Tags", refs.tag);
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
  out << "name: " << d.displayName << "\n"
      << "worktree: " << d.url.path() << "\n"
      << "git directory: " << d.gitURL.path() << "\n"
      << "common directory: " << d.commonURL.path() << "\n"
      << "bare: " << (d.isBare ? "yes" : "no") << "\n"
      << "shallow: " << (d.isShallow ? "yes" : "no") << "\n";
}

} // namespace tavrik::cli
