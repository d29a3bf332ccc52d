// The client's plan for an interactive rebase: what to do with each commit
// (keep, reword, edit, squash, fix up, drop, or move elsewhere) and where
// moved commits go. The editor turns git's instruction list around with it
// (`GitEditor::processEditList`).
#pragma once

#include "tavrik/Interfaces/Oid.h"

#include <optional>
#include <string_view>
#include <vector>

namespace tavrik {

struct GitRebaseAction {
  enum class Verb { pick, reword, edit, squash, fixup, drop, move };
  Verb verb = Verb::pick;
  Oid commit;
  bool operator==(const GitRebaseAction&) const = default;
};

/// "pick", "reword", "edit", "squash", "fixup", "drop", "move".
std::string_view rawValue(GitRebaseAction::Verb verb);
std::optional<GitRebaseAction::Verb> rebaseVerbFromRawValue(std::string_view raw);

struct GitRebaseRequest {
  enum class MovePosition { above, below };
  struct Move {
    Oid target;
    MovePosition position = MovePosition::above;
    bool operator==(const Move&) const = default;
  };

  /// In the order the client chose; for a commit the first action decides.
  std::vector<GitRebaseAction> actions;
  /// Where the commits of the `move` actions go: above (newer than) or
  /// below (older than) the target.
  std::optional<Move> move;
  /// The commit the rebase starts from; nullopt for a rebase from the root.
  std::optional<Oid> base;

  GitRebaseRequest() = default;
  GitRebaseRequest(std::vector<GitRebaseAction> actions, std::optional<Move> move, std::optional<Oid> base)
      : actions(std::move(actions)), move(move), base(base) {}
  /// One action with `verb` for each id, in order.
  GitRebaseRequest(GitRebaseAction::Verb verb, const std::vector<Oid>& oids, std::optional<Oid> base);
  /// The last id is the base; the others get `verb`. No ids: nothing at all.
  static GitRebaseRequest withBaseLast(GitRebaseAction::Verb verb, const std::vector<Oid>& oidsBaseLast);

  /// The commits of the actions, the move target and the base, each once,
  /// in that order.
  std::vector<Oid> allOids() const;

  bool operator==(const GitRebaseRequest&) const = default;
};

} // namespace tavrik
