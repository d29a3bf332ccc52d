#include "tavrik/State/GitRefParser.h"

#include "tavrik/Util/StringUtilities.h"

#include <algorithm>

namespace tavrik {

std::vector<std::string> GitRefParser::defaultFieldNames() {
  return {"HEAD",     "objectname",          "*objectname",         "refname",
          "symref",   "upstream",            "upstream:remotename", "upstream:remoteref",
          "creatordate:iso8601-strict"};
}

std::string GitRefParser::formatArgument(const std::vector<std::string>& fieldNames) {
  std::string format = "--format=%(";
  for (size_t i = 0; i < fieldNames.size(); ++i) {
    if (i > 0) format += ")\t%(";
    format += fieldNames[i];
  }
  // Each record ends at NUL: a worktree path may hold line ends, and no
  // field holds NUL.
  format += ")%00";
  return format;
}

namespace {

// The FieldValues slot of every requested field, in order (null for fields a
// reference does not use). Worked out once per parse, so a line costs only
// its split: no dictionary and no copies of the values.
using Slots = std::vector<std::string_view GitRef::FieldValues::*>;

Slots slotsFor(const std::vector<std::string>& fieldNames) {
  Slots slots;
  slots.reserve(fieldNames.size());
  for (const auto& name : fieldNames) slots.push_back(GitRef::fieldValueSlot(name));
  return slots;
}

std::optional<GitRef> refFromLine(std::string_view line, const Slots& slots) {
  if (slots.empty()) return std::nullopt;
  // A worktree path may hold tabs; as the last field it takes the rest.
  const bool pathLast = slots.back() == &GitRef::FieldValues::worktreePath;

  // One pass: each field up to its tab, the last to the end of the line. A
  // line with fewer fields, or with more when the last is not a path, is
  // malformed. A name requested twice takes its last value, as a dictionary
  // would.
  GitRef::FieldValues values;
  size_t start = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    std::string_view value;
    if (i + 1 == slots.size()) {
      value = line.substr(start);
      if (!pathLast && value.find('\t') != std::string_view::npos) return std::nullopt;
    } else {
      const size_t tab = line.find('\t', start);
      if (tab == std::string_view::npos) return std::nullopt;
      value = line.substr(start, tab - start);
      start = tab + 1;
    }
    if (const auto slot = slots[i]) values.*slot = value;
  }
  return GitRef::fromFieldValues(values);
}

} // namespace

std::optional<GitRef> GitRefParser::parseLine(std::string_view line, const std::vector<std::string>& fieldNames) {
  return refFromLine(line, slotsFor(fieldNames));
}

std::vector<GitRef> GitRefParser::parse(GitBuffer& buffer, const std::vector<std::string>& fieldNames) {
  std::vector<GitRef> refs;
  const std::string_view rest = buffer.remaining();
  refs.reserve(countOf(rest, '\n') + 1);
  const Slots slots = slotsFor(fieldNames);
  if (rest.find('\0') == std::string_view::npos) {
    while (auto line = buffer.scanToEOL()) {
      if (auto ref = refFromLine(*line, slots)) refs.push_back(std::move(*ref));
    }
    return refs;
  }
  while (auto record = buffer.scanToNull()) {
    // git ends each formatted record with its own line feed, after the NUL.
    if (!record->empty() && record->front() == '\n') record->remove_prefix(1);
    if (auto ref = refFromLine(*record, slots)) refs.push_back(std::move(*ref));
  }
  return refs;
}

} // namespace tavrik
