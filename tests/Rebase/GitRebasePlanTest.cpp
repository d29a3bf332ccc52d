#include "tavrik/Rebase/GitRebasePlan.h"

#include "Support/Helpers.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

// A plan written as text becomes the request of the same commits git names.
TEST(GitRebasePlan, ReadsTheWrittenPlan) {
  const auto& work = ScenarioRepo::shared().work;
  auto resolve = [&](const std::string& name) { return *Oid::parse(work.rev(name + "^{commit}")); };
  auto plan = GitRebasePlan::fromText({.steps = {"reword=HEAD~2", "drop=HEAD", "move=HEAD~3"},
                                       .moveTo = "below=HEAD~1",
                                       .messages = {"HEAD~2=renamed=twice"},
                                       .base = "HEAD~4"},
                                      resolve);
  using V = GitRebaseAction::Verb;
  EXPECT_EQ(plan.request, GitRebaseRequest({{V::reword, resolve("HEAD~2")}, {V::drop, resolve("HEAD")},
                                            {V::move, resolve("HEAD~3")}},
                                           GitRebaseRequest::Move{resolve("HEAD~1"), GitRebaseRequest::MovePosition::below},
                                           resolve("HEAD~4")));
  const auto reworded = resolve("HEAD~2").string();
  EXPECT_EQ(plan.messageFor(reworded.substr(0, 7)), "renamed=twice\n");
  EXPECT_EQ(plan.messageFor(resolve("HEAD").string()), std::nullopt);
  EXPECT_EQ(plan.messageFor(""), std::nullopt);
  EXPECT_FALSE(GitRebasePlan::fromText({}, resolve).request.base);

  auto text = [](std::vector<std::string> steps, std::optional<std::string> moveTo, std::vector<std::string> messages) {
    return GitRebasePlanText{.steps = steps, .moveTo = moveTo, .messages = messages, .base = std::nullopt};
  };
  const GitRebasePlanText invalid[] = {text({"bogus=HEAD"}, {}, {}), text({"pick"}, {}, {}),
                                       text({"=HEAD"}, {}, {}),      text({"pick="}, {}, {}),
                                       text({}, "left=HEAD", {}),    text({}, {}, {"HEAD"})};
  for (const auto& plan : invalid) EXPECT_THROW(GitRebasePlan::fromText(plan, resolve), TavrikError);
}
