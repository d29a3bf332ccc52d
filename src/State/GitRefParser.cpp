#include "tavrik/State/GitRefParser.h"

#include <map>

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
  format += ")";
  return format;
}

namespace {

// Fills `fields` (one entry per field name, kept between lines so that the
// nodes and their string capacity are reused) from one line. An empty value
// counts as absent for GitRef::fromFields, so the key may stay in the map.
std::optional<GitRef> refFromLine(std::string_view line, const std::vector<std::string>& fieldNames,
                                  std::map<std::string, std::string>& fields,
                                  std::vector<std::string*>& slots) {
  // Count first, so a malformed line costs nothing.
  size_t pieces = 1;
  for (char c : line) pieces += c == '\t';
  if (pieces != fieldNames.size()) return std::nullopt;

  if (slots.size() != fieldNames.size()) {
    fields.clear();
    slots.clear();
    for (const auto& name : fieldNames) slots.push_back(&fields[name]);
  }
  size_t start = 0;
  for (auto* slot : slots) {
    size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) tab = line.size();
    slot->assign(line.substr(start, tab - start));
    start = tab + 1;
  }
  return GitRef::fromFields(fields);
}

} // namespace

std::optional<GitRef> GitRefParser::parseLine(std::string_view line, const std::vector<std::string>& fieldNames) {
  std::map<std::string, std::string> fields;
  std::vector<std::string*> slots;
  return refFromLine(line, fieldNames, fields, slots);
}

std::vector<GitRef> GitRefParser::parse(GitBuffer& buffer, const std::vector<std::string>& fieldNames) {
  std::vector<GitRef> refs;
  std::map<std::string, std::string> fields;
  std::vector<std::string*> slots;
  while (auto line = buffer.scanToEOL()) {
    if (!isValidUTF8(*line)) break;
    if (auto ref = refFromLine(*line, fieldNames, fields, slots)) refs.push_back(std::move(*ref));
  }
  return refs;
}

} // namespace tavrik
