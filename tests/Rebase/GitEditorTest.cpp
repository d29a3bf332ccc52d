#include "tavrik/Rebase/GitEditor.h"

#include <gtest/gtest.h>

using namespace tavrik;
using Verb = GitRebaseAction::Verb;

namespace {

class PlanEditor : public GitEditor {
public:
  explicit PlanEditor(std::optional<GitRebaseRequest> request) : request_(std::move(request)) {}
  std::map<std::string, std::string> editorEnvironment() const override { return {}; }
  std::optional<GitRebaseRequest> rebaseRequest() override { return request_; }
  void finishEditing() override {}

private:
  std::optional<GitRebaseRequest> request_;
};

Oid id(char digit) { return *Oid::parse(std::string(40, digit)); }

std::string edited(std::string list, std::optional<GitRebaseRequest> request, bool expectChange = true) {
  PlanEditor editor(std::move(request));
  EXPECT_EQ(editor.processEditList(list), expectChange);
  return list;
}

} // namespace

// What the rebases against real git do not reach: first action wins, a
// missing move target, lines git writes besides picks, and no plan at all.
TEST(GitEditor, RewritesInstructionListsByThePlan) {
  const std::string list = "pick aaaaaaa one\nexec make aaaaaaa\nlabel bbbbbbb\npick bbbbbbb two\n"
                           "update-ref refs/heads/stack\np ccccccc three  spaced\n\n# Rebase 1..3\n# comment\n";
  GitRebaseRequest twice({{Verb::drop, id('a')}, {Verb::reword, id('a')}, {Verb::squash, id('c')}}, std::nullopt,
                         std::nullopt);
  EXPECT_EQ(edited(list, twice), "drop aaaaaaa one\nexec make aaaaaaa\nlabel bbbbbbb\npick bbbbbbb two\n"
                                 "update-ref refs/heads/stack\nsquash ccccccc three  spaced");

  GitRebaseRequest nowhere({{Verb::move, id('c')}}, GitRebaseRequest::Move{id('e'), GitRebaseRequest::MovePosition::above},
                           std::nullopt);
  EXPECT_EQ(edited(list, nowhere), "p ccccccc three  spaced\npick aaaaaaa one\nexec make aaaaaaa\nlabel bbbbbbb\n"
                                   "pick bbbbbbb two\nupdate-ref refs/heads/stack");

  EXPECT_EQ(edited(list, std::nullopt, false), list);
  EXPECT_EQ(edited("noop\n# nothing to do\n", twice, false), "noop\n# nothing to do\n");
}

TEST(GitRebaseRequest, BuildsFromIds) {
  auto request = GitRebaseRequest::withBaseLast(Verb::fixup, {id('a'), id('b'), id('c')});
  EXPECT_EQ(request.actions, (std::vector<GitRebaseAction>{{Verb::fixup, id('a')}, {Verb::fixup, id('b')}}));
  EXPECT_EQ(request.base, id('c'));
  EXPECT_EQ(request.allOids(), (std::vector<Oid>{id('a'), id('b'), id('c')}));
  EXPECT_EQ(GitRebaseRequest::withBaseLast(Verb::drop, {}), GitRebaseRequest());
  EXPECT_EQ(rebaseVerbFromRawValue("fixup"), Verb::fixup);
  EXPECT_EQ(rebaseVerbFromRawValue("p"), std::nullopt);
}
