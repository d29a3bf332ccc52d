#include "tavrik/State/GitViewExecSubmoduleOperation.h"

#include "Queue/GitQueueInternals.h"
#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace tavrik {
void PrintTo(const GitSubmodule& s, std::ostream* os) {
  *os << '\'' << s.status << "' " << s.path << ' ' << s.changeCount;
}
} // namespace tavrik

// git prints paths as they are (spaces, tabs, bytes that are not UTF-8); only
// a checked-out submodule's last " (...)" is the description; the first line
// that cannot be read ends the list.
TEST(GitViewExecSubmoduleOperation, ParsesPathsAsGitPrintsThem) {
  const std::string id(40, 'a'), zero(40, '0'), sha256(64, 'b');
  const std::vector<std::pair<std::string, std::vector<GitSubmodule>>> cases = {
      {" " + id + " with space (heads/main)\n", {{' ', "with space", 0}}},
      {"+" + id + " paren (x) (v1.0-3-gabc1234)\n-" + id + " ends (x)\n",
       {{'+', "paren (x)", 0}, {'-', "ends (x)", 0}}},
      {"U" + zero + " tab\there\n " + sha256 + " bad\xffname (v1)", {{'U', "tab\there", 0}, {' ', "bad\xffname", 0}}},
      {" " + id + " a (v1)\n\n " + id + " b (v1)\n", {{' ', "a", 0}}},
      {" " + id + " a (v1)\nx" + id + " b\n", {{' ', "a", 0}}},
      {" " + id.substr(1) + " a\n " + id + " b\n", {}},
      {" " + std::string(40, 'A') + " a\n", {}},
      {" " + id + "\n", {}},
      {" " + id + " \n", {}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(GitViewExecSubmoduleOperation::parse(text), expected);
  }
}

TEST(GitViewExecSubmoduleOperation, RunsNothingWithoutWorkTreeAndFailsWithGit) {
  ScratchRepo bare(true);
  auto queue = makeReaderQueue(bareDescriptor(bare.path()));
  detail::GitQueueInternals::updateView(*queue, [](GitView& view) { view.submodules = {{' ', "kept", 0}}; });
  // git refuses `submodule status` in a bare repository, so a run would throw.
  EXPECT_FALSE(runOn(queue, makeOperation<GitViewExecSubmoduleOperation>()));
  EXPECT_EQ(queue->view().submodules, (std::vector<GitSubmodule>{{' ', "kept", 0}}));

  ScratchRepo empty;
  auto emptyQueue = readerQueue(empty);
  EXPECT_EQ(runOn(emptyQueue, makeOperation<GitViewExecSubmoduleOperation>()), std::vector<GitSubmodule>{});
  auto bogus = makeOperation<GitViewExecSubmoduleOperation>();
  bogus->verb = "no-such-verb";
  EXPECT_ANY_THROW(runOn(emptyQueue, bogus));
}

// Each kind of submodule through the queue's refresh, in git's order; the
// counts are what `git status --porcelain` lists inside each submodule.
TEST(GitViewExecSubmoduleOperation, RefreshCountsChangesInsideEachSubmodule) {
  ScratchRepo lib, inner, outer, top;
  lib.commitFile("f", "1", "one");
  lib.commitFile("f", "2", "two");
  inner.commitFile("i", "i", "i");
  outer.commitFile("o", "o", "o");
  const std::vector<std::string> add = {"-c", "protocol.file.allow=always", "submodule", "add", "-q"};
  auto addTo = [&](const GitDir& repo, const GitDir& from, const std::string& path) {
    auto args = add;
    args.insert(args.end(), {from.path().string(), path});
    repo.git(args);
  };
  addTo(outer, inner, "inner");
  outer.git({"commit", "-qm", "inner"});
  for (auto path : {"clean", "dirty", "with space", "moved", "gone"}) addTo(top, lib, path);
  addTo(top, outer, "nested");
  top.git({"-c", "protocol.file.allow=always", "submodule", "update", "-q", "--init", "--recursive"});
  top.git({"commit", "-qm", "subs"});
  GitDir dirty(top.path() / "dirty"), spaced(top.path() / "with space"), moved(top.path() / "moved");
  for (auto file : {"f", "n1", "n2"}) dirty.write(file, "x");
  for (auto file : {"f", "n1"}) spaced.write(file, "y");
  moved.git({"checkout", "-q", "HEAD~1"});
  moved.write("n", "z");
  GitDir(top.path() / "nested/inner").write("i", "changed");
  top.git({"submodule", "deinit", "-q", "gone"});

  auto queue = readerQueue(top);
  queue->updateViewFor(GitAspects::submodules);
  queue->waitUntilAllOperationsAreFinished();
  const auto submodules = queue->view().submodules;
  EXPECT_EQ(submodules, (std::vector<GitSubmodule>{{' ', "clean", 0},
                                                   {' ', "dirty", 3},
                                                   {'-', "gone", 0},
                                                   {'+', "moved", 1},
                                                   {' ', "nested", 1},
                                                   {' ', "with space", 2}}));
  std::vector<std::optional<std::string>> badges;
  for (const auto& submodule : submodules) {
    badges.push_back(submodule.statusString());
    if (submodule.isUninitialized()) continue;
    auto porcelain = GitDir(top.path() / submodule.path).git({"status", "--porcelain"});
    EXPECT_EQ(submodule.changeCount, static_cast<int64_t>(split(porcelain, '\n').size())) << submodule.path;
  }
  EXPECT_EQ(badges, (std::vector<std::optional<std::string>>{std::nullopt, "3", "?", "M", "1", "2"}));

  // Without .gitmodules in the working tree git reads the index's copy; the
  // shortcut for repositories without submodules must not skip that.
  std::filesystem::remove(top.path() / ".gitmodules");
  detail::GitQueueInternals::updateView(*queue, [](GitView& view) { view.submodules.clear(); });
  queue->updateViewFor(GitAspects::submodules);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue->view().submodules.size(), 6u);
}
