#include "tavrik/Rebase/GitEditor.h"

#include "tavrik/Util/Log.h"
#include "tavrik/Util/StringUtilities.h"

namespace tavrik {

namespace {

struct InstructionLine {
  std::string text;
  // A commit line git asks to pick; only these are matched against the plan.
  bool isPick = false;
  std::string id;
  size_t verbLength = 0;
};

InstructionLine parseLine(std::string_view line) {
  InstructionLine parsed{std::string(line)};
  size_t verbEnd = line.find_first_of(" \t");
  std::string_view verb = line.substr(0, verbEnd);
  parsed.verbLength = verb.size();
  // rebase.abbreviateCommands makes git write "p" for "pick".
  parsed.isPick = verb == "pick" || verb == "p";
  if (parsed.isPick && verbEnd != std::string_view::npos) {
    size_t idStart = line.find_first_not_of(" \t", verbEnd);
    if (idStart != std::string_view::npos) {
      size_t idEnd = line.find_first_of(" \t", idStart);
      parsed.id = std::string(line.substr(idStart, idEnd == std::string_view::npos ? idEnd : idEnd - idStart));
    }
  }
  parsed.isPick = parsed.isPick && !parsed.id.empty();
  return parsed;
}

bool idNames(const std::string& id, const Oid& oid) { return oid.string().starts_with(id); }

} // namespace

bool GitEditor::processEditList(std::string& list) {
  auto log = Log::defaultLog();
  log.debug("editor: begin editing\n%s", list.c_str());

  std::vector<InstructionLine> lines;
  for (auto piece : splitPieces(list, '\n')) {
    size_t first = piece.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || piece[first] == '#') continue;
    lines.push_back(parseLine(piece));
  }
  const bool anyPick = std::any_of(lines.begin(), lines.end(), [](const auto& line) { return line.isPick; });
  auto request = anyPick ? rebaseRequest() : std::nullopt;
  if (!request) {
    log.debug("editor: done editing\n%s", list.c_str());
    return false;
  }

  std::vector<InstructionLine> passed, moved;
  for (auto& line : lines) {
    const GitRebaseAction* action = nullptr;
    if (line.isPick) {
      for (const auto& candidate : request->actions)
        if (idNames(line.id, candidate.commit)) {
          action = &candidate;
          break;
        }
    }
    if (!action) {
      passed.push_back(std::move(line));
    } else if (action->verb == GitRebaseAction::Verb::move) {
      moved.push_back(std::move(line));
    } else {
      line.text = std::string(rawValue(action->verb)) + line.text.substr(line.verbLength);
      passed.push_back(std::move(line));
    }
  }

  std::vector<InstructionLine> result;
  for (auto& line : passed) {
    const bool isTarget = request->move && !moved.empty() && line.isPick && idNames(line.id, request->move->target);
    if (!isTarget) {
      result.push_back(std::move(line));
      continue;
    }
    if (request->move->position == GitRebaseRequest::MovePosition::above) result.push_back(std::move(line));
    for (auto& m : moved) result.push_back(std::move(m));
    if (request->move->position == GitRebaseRequest::MovePosition::below) result.push_back(std::move(line));
    moved.clear();
  }
  // No target among the lines: the moved commits go first.
  result.insert(result.begin(), std::make_move_iterator(moved.begin()), std::make_move_iterator(moved.end()));

  std::string text;
  for (const auto& line : result) {
    if (!text.empty()) text += '\n';
    text += line.text;
  }
  list = std::move(text);
  log.debug("editor: done editing\n%s", list.c_str());
  return true;
}

} // namespace tavrik
