#include "tavrik/Rebase/GitRebaseRequest.h"

#include <algorithm>
#include <array>

namespace tavrik {

namespace {
using Verb = GitRebaseAction::Verb;
constexpr std::array<std::pair<Verb, std::string_view>, 7> kVerbs{{{Verb::pick, "pick"},
                                                                  {Verb::reword, "reword"},
                                                                  {Verb::edit, "edit"},
                                                                  {Verb::squash, "squash"},
                                                                  {Verb::fixup, "fixup"},
                                                                  {Verb::drop, "drop"},
                                                                  {Verb::move, "move"}}};
} // namespace

std::string_view rawValue(GitRebaseAction::Verb verb) {
  for (const auto& [v, raw] : kVerbs)
    if (v == verb) return raw;
  return "pick";
}

std::optional<GitRebaseAction::Verb> rebaseVerbFromRawValue(std::string_view raw) {
  for (const auto& [v, name] : kVerbs)
    if (name == raw) return v;
  return std::nullopt;
}

GitRebaseRequest::GitRebaseRequest(GitRebaseAction::Verb verb, const std::vector<Oid>& oids, std::optional<Oid> base)
    : base(base) {
  for (const auto& oid : oids) actions.push_back({verb, oid});
}

GitRebaseRequest GitRebaseRequest::withBaseLast(GitRebaseAction::Verb verb, const std::vector<Oid>& oidsBaseLast) {
  if (oidsBaseLast.empty()) return {};
  return GitRebaseRequest(verb, std::vector<Oid>(oidsBaseLast.begin(), oidsBaseLast.end() - 1), oidsBaseLast.back());
}

std::vector<Oid> GitRebaseRequest::allOids() const {
  std::vector<Oid> oids;
  auto add = [&oids](const Oid& oid) {
    if (std::find(oids.begin(), oids.end(), oid) == oids.end()) oids.push_back(oid);
  };
  for (const auto& action : actions) add(action.commit);
  if (move) add(move->target);
  if (base) add(*base);
  return oids;
}

} // namespace tavrik
