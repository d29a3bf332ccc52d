#include "tavrik/State/GitViewStashesOperation.h"

#include "tavrik/Util/StringUtilities.h"

#include <charconv>

namespace tavrik {
namespace {

// "stash@{3}" (or "refs/stash@{3}" when "stash" is ambiguous) gives 3.
std::optional<int64_t> selectorIndex(std::string_view selector) {
  auto open = selector.rfind("@{");
  if (open == std::string_view::npos || !selector.ends_with('}')) return std::nullopt;
  auto digits = selector.substr(open + 2, selector.size() - open - 3);
  int64_t index = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || index < 0) return std::nullopt;
  return index;
}

GitSignature signature(std::optional<std::string_view> name, std::optional<std::string_view> email,
                       std::optional<std::string_view> date) {
  GitSignature s{std::string(name.value_or("")), std::string(email.value_or("")), {}};
  if (date) s.timestamp = GitTimestamp::fromStrictISO8601(*date).value_or(GitTimestamp{});
  return s;
}

} // namespace

GitViewStashesOperation::GitViewStashesOperation()
    : formatFields{GitFormatField::commitHash,    GitFormatField::treeHash,
                   GitFormatField::parentHashes,  GitFormatField::authorName,
                   GitFormatField::authorEmail,   GitFormatField::authorDateStrictISO8601,
                   GitFormatField::committerName, GitFormatField::committerEmail,
                   GitFormatField::committerDateStrictISO8601,
                   GitFormatField::rawBody} {}

std::vector<std::string> GitViewStashesOperation::arguments(GitOperationContext&) {
  // `stash list` hands these to `git log -g` after its own format, so ours
  // wins. Pinned against the user's configuration: log.showSignature prints
  // gpg's report into the records, i18n.logOutputEncoding re-encodes names
  // and messages, log.mailmap and colour must not touch the raw fields. git
  // cannot print a NUL inside a field, so NUL ends fields and records alike.
  std::string format = "--format=%gd";
  for (auto field : formatFields) format += "%x00" + std::string(rawValue(field));
  return {"stash",        "list",         "--no-show-signature", "--no-color", "--no-notes",
          "--no-mailmap", "--encoding=UTF-8", "-z",                 format};
}

GitStashList GitViewStashesOperation::execute(GitOperationContext& context) {
  GitStashList list;
  // `stash list` refuses to run without a work tree, and a bare repository
  // has no stashes of its own (a mirrored refs/stash comes without a reflog).
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor || !descriptor->isBare) {
    runCommand(context);
    list = parse(*stdOutBuffer, formatFields);
  }
  return list;
}

GitStashList GitViewStashesOperation::parse(GitBuffer& buffer, const std::vector<GitFormatField>& fields) {
  GitStashList list;
  for (int64_t position = 0;; ++position) {
    auto selector = buffer.scanToNull();
    if (!selector) break;
    std::optional<std::string_view> values[static_cast<size_t>(GitFormatField::rawBody) + 1];
    bool complete = true;
    for (auto field : fields) {
      auto value = buffer.scanToNull();
      if (!value) {
        complete = false;
        break;
      }
      values[static_cast<size_t>(field)] = value;
    }
    auto value = [&](GitFormatField field) { return values[static_cast<size_t>(field)]; };
    auto oid = Oid::parse(value(GitFormatField::commitHash).value_or(""));
    if (!complete || !oid) continue;

    GitStashEntry entry;
    entry.index = selectorIndex(*selector).value_or(position);
    entry.oid = *oid;
    entry.tree = Oid::parse(value(GitFormatField::treeHash).value_or("")).value_or(Oid{});
    for (auto parent : splitPieces(value(GitFormatField::parentHashes).value_or(""), ' '))
      if (auto id = Oid::parse(parent)) entry.parents.push_back(*id);
    entry.author = signature(value(GitFormatField::authorName), value(GitFormatField::authorEmail),
                             value(GitFormatField::authorDateStrictISO8601));
    entry.committer = signature(value(GitFormatField::committerName), value(GitFormatField::committerEmail),
                                value(GitFormatField::committerDateStrictISO8601));
    entry.message = trimmed(value(GitFormatField::rawBody).value_or(""));
    entry.messageWithoutPrefix = messageWithoutPrefix(entry.message);
    entry.subject = gitSubject(entry.message);
    entry.refname = "refs/stash";
    list.entries.push_back(std::move(entry));
  }
  return list;
}

std::string GitViewStashesOperation::messageWithoutPrefix(std::string_view message) {
  std::string subject = gitSubject(trimmed(message));
  auto colon = subject.find(':');
  if (colon == std::string::npos) return subject;
  std::string lead = subject.substr(0, colon);
  for (auto& c : lead)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  auto on = lead.find("on ");
  if (on == std::string::npos || lead.find("on ", on + 3) != std::string::npos) return subject;
  return trimmed(std::string_view(subject).substr(colon + 1));
}

} // namespace tavrik
