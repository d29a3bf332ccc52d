#include "tavrik/State/GitShowHeadParser.h"

#include <algorithm>

namespace tavrik {
namespace {

std::string_view trimmedBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

size_t codePointCount(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

} // namespace

std::vector<GitFormatField> GitShowHeadParser::defaultFormatFields() {
  return {GitFormatField::commitHash, GitFormatField::refNamesWithoutWrapping, GitFormatField::authorName,
          GitFormatField::authorEmail, GitFormatField::authorDateStrictISO8601, GitFormatField::rawBody};
}

std::string GitShowHeadParser::formatArgument(const std::vector<GitFormatField>& fields) {
  std::string format = "--format=";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) format += "%x00";
    format += rawValue(fields[i]);
  }
  return format;
}

GitHead GitShowHeadParser::emptyHead(GitHeadFile file) {
  GitHead head;
  head.refname = std::string(rawValue(file));
  head.isSymbolic = true;
  return head;
}

GitHead GitShowHeadParser::parse(GitBuffer& buffer, GitHeadFile file, const std::vector<GitFormatField>& fields) {
  std::optional<std::string_view> values[11];
  for (auto field : fields) {
    auto value = buffer.scanToNull();
    if (!value) break;
    auto slot = static_cast<size_t>(field);
    if (slot < std::size(values)) values[slot] = value;
  }
  auto value = [&](GitFormatField field) { return values[static_cast<size_t>(field)]; };

  GitHead head;
  auto name = value(GitFormatField::authorName);
  auto email = value(GitFormatField::authorEmail);
  auto date = value(GitFormatField::authorDateStrictISO8601);
  if (name && email && date) {
    if (auto timestamp = GitTimestamp::fromStrictISO8601(*date))
      head.lastAuthor = GitSignature{std::string(*name), std::string(*email), *timestamp};
  }
  if (auto hash = value(GitFormatField::commitHash)) head.commit = Oid::parse(*hash);
  if (auto decoration = value(GitFormatField::refNamesWithoutWrapping))
    head.refname = refnameFromDecoration(*decoration);
  if (auto body = value(GitFormatField::rawBody)) {
    // `git show --format` ends its output with a newline of its own; left on,
    // every message would gain a line and an empty message would read "\n".
    if (!fields.empty() && fields.back() == GitFormatField::rawBody && body->ends_with('\n'))
      body->remove_suffix(1);
    head.lastMessage = std::string(*body);
  }

  auto fileName = rawValue(file);
  if (!head.refname) head.refname = std::string(fileName);
  head.isSymbolic = *head.refname == fileName;
  return head;
}

std::string GitShowHeadParser::refnameFromDecoration(std::string_view decoration) {
  // git writes "HEAD -> branch" for the branch HEAD is on; taking the
  // shortest entry instead would name a shorter tag or remote branch.
  if (auto arrow = decoration.find("->"); arrow != std::string_view::npos) {
    std::string_view rest = decoration.substr(arrow + 2);
    auto branch = trimmedBlanks(rest.substr(0, rest.find(',')));
    if (!branch.empty()) return std::string(branch);
  }

  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t comma = decoration.find(',', start);
    parts.push_back(trimmedBlanks(decoration.substr(start, comma == std::string_view::npos ? comma : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  auto isTag = [](std::string_view part) { return part.starts_with("tag: "); };
  bool hasNonTag = std::any_of(parts.begin(), parts.end(), [&](auto p) { return !isTag(p); });
  std::optional<std::string_view> best;
  size_t bestLength = 0;
  for (auto part : parts) {
    if (hasNonTag && isTag(part)) continue;
    size_t length = codePointCount(part);
    if (!best || length < bestLength) best = part, bestLength = length;
  }
  return std::string(best.value_or(std::string_view()));
}

} // namespace tavrik
