#include "tavrik/Rebase/GitRebasePlan.h"

#include "tavrik/Util/TavrikError.h"

namespace tavrik {

std::pair<std::string, std::string> splitAssignment(const std::string& text, std::string_view what) {
  auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
    throw TavrikError("Invalid " + std::string(what) + " \"" + text + "\"", "Write it as NAME=VALUE.");
  return {text.substr(0, equals), text.substr(equals + 1)};
}

GitRebasePlan GitRebasePlan::fromText(const GitRebasePlanText& text,
                                      const std::function<Oid(const std::string&)>& resolveCommit) {
  GitRebasePlan plan;
  for (const auto& step : text.steps) {
    auto [verbName, commit] = splitAssignment(step, "rebase step");
    auto verb = rebaseVerbFromRawValue(verbName);
    if (!verb)
      throw TavrikError("Unknown rebase verb \"" + verbName + "\"",
                        "Use pick, reword, edit, squash, fixup, drop or move.");
    plan.request.actions.push_back({*verb, resolveCommit(commit)});
  }
  if (text.moveTo) {
    auto [where, commit] = splitAssignment(*text.moveTo, "rebase move");
    if (where != "above" && where != "below")
      throw TavrikError("Invalid rebase move \"" + *text.moveTo + "\"", "Write above=COMMIT or below=COMMIT.");
    plan.request.move = GitRebaseRequest::Move{
        resolveCommit(commit),
        where == "above" ? GitRebaseRequest::MovePosition::above : GitRebaseRequest::MovePosition::below};
  }
  if (text.base) plan.request.base = resolveCommit(*text.base);
  for (const auto& entry : text.messages) {
    auto [commit, message] = splitAssignment(entry, "reworded message");
    plan.messages.emplace_back(resolveCommit(commit), message);
  }
  return plan;
}

std::optional<std::string> GitRebasePlan::messageFor(std::string_view commitPrefix) const {
  if (commitPrefix.empty()) return std::nullopt;
  for (const auto& [oid, text] : messages)
    if (oid.string().starts_with(commitPrefix)) return text + "\n";
  return std::nullopt;
}

} // namespace tavrik
