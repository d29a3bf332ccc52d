// External tools through real git difftool and mergetool: a recording script
// stands in for the tool, so the test sees which versions git handed over,
// and the settings passed for the known tools.
#include "tavrik/Tools/GitExecToolOperation.h"
#include "Support/Helpers.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/Util/TavrikError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

using Source = GitExecToolOperation::Source;
using Kind = GitExecToolOperation::Kind;
const std::optional<GitToolCommand> kNoCommand;

bool contains(const std::vector<std::string>& args, const std::string& arg) {
  return std::find(args.begin(), args.end(), arg) != args.end();
}

bool containsPrefix(const std::vector<std::string>& args, const std::string& prefix) {
  return std::any_of(args.begin(), args.end(), [&](const std::string& a) { return a.rfind(prefix, 0) == 0; });
}

void writeScript(const std::filesystem::path& path, const std::string& body) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
}

std::vector<GitStatusEntry> statusEntries(const std::shared_ptr<GitQueue>& queue) {
  return runOn(queue, makeOperation<GitViewExecStatusOperation>())->entries;
}

// Records what git hands the tool under the record folder, named after the
// merged file, so several files and non-UTF-8 names can be told apart.
std::string recordingTool(const std::filesystem::path& record, bool resolve) {
  std::string body = "n=$(basename \"$MERGED\")\n"
                     "if [ -d \"$LOCAL\" ]; then LOCAL=$LOCAL/f; REMOTE=$REMOTE/f; n=f; fi\n"
                     "r='" +
                     record.string() +
                     "'/$n\n"
                     "cat \"$LOCAL\" > \"$r.local\"; cat \"$REMOTE\" > \"$r.remote\"\n"
                     "if [ -f \"$BASE\" ]; then cat \"$BASE\" > \"$r.base\"; fi\n";
  if (resolve) body += "echo resolved > \"$MERGED\"\n";
  return body;
}

struct EnvironmentVariable {
  EnvironmentVariable(const char* name, const std::string& value) : name(name) { ::setenv(name, value.c_str(), 1); }
  ~EnvironmentVariable() { ::unsetenv(name); }
  const char* name;
};

} // namespace

// Two conflicts, one with a name that is no UTF-8: the launch script comes
// from a shared-support folder whose path needs quoting for the shell.
TEST(GitExecToolOperation, MergetoolResolvesEachConflictWithItsThreeVersions) {
  ScratchRepo repo;
  const std::string odd = "bad\xff name";
  repo.commitFile("c.txt", "base\n", "base");
  repo.commitFile(odd, "base odd\n", "base odd");
  repo.git({"checkout", "-q", "-b", "side"});
  repo.commitFile("c.txt", "theirs\n", "theirs");
  repo.commitFile(odd, "theirs odd\n", "theirs odd");
  repo.git({"checkout", "-q", "main"});
  repo.commitFile("c.txt", "ours\n", "ours");
  repo.commitFile(odd, "ours odd\n", "ours odd");
  ASSERT_NE(repo.tryGit({"merge", "side"}).status, 0);

  TempDir dir;
  auto support = dir.path() / "shared 'support";
  auto record = dir.path() / "record";
  std::filesystem::create_directories(record);
  writeScript(support / "tools" / "record-merge", recordingTool(record, true));
  EnvironmentVariable chosen("TAVRIK_SHARED_SUPPORT", support.string());

  auto queue = readerQueue(repo);
  GitToolCommand merge{"vantry", std::nullopt, std::nullopt, true, std::nullopt, "tools/record-merge"};
  auto op = makeOperation<GitExecToolOperation>(
      {.source = Source::status(statusEntries(queue)), .useDirectoryDiff = true, .mergetool = merge});
  runOn(queue, op);

  EXPECT_TRUE(op->isMerge);
  GitOperationContext context(queue);
  EXPECT_FALSE(contains(op->arguments(context), "--dir-diff"));
  for (const auto& [name, side] : {std::pair{std::string("c.txt"), std::string("")}, {odd, " odd"}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(readFile(record / (name + ".local")), "ours" + side + "\n");
    EXPECT_EQ(readFile(record / (name + ".remote")), "theirs" + side + "\n");
    EXPECT_EQ(readFile(record / (name + ".base")), "base" + side + "\n");
    EXPECT_EQ(readFile(repo.path() / name), "resolved\n");
  }
  for (const auto& entry : statusEntries(queue)) EXPECT_FALSE(entry.hasConflict()) << *entry.path();
  // No backups or temporaries left beside the files.
  EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all"}), "M  \"bad\\377 name\"\nM  c.txt\n");
}

// merge.tool naming a known tool gets our launch script for it; P4Merge's
// fails at once here, so the conflict stays.
TEST(GitExecToolOperation, MergetoolTakesTheKnownToolThatMergeToolNames) {
  ScratchRepo repo;
  repo.commitFile("f", "base\n", "base");
  repo.git({"checkout", "-q", "-b", "side"});
  repo.commitFile("f", "theirs\n", "theirs");
  repo.git({"checkout", "-q", "main"});
  repo.commitFile("f", "ours\n", "ours");
  ASSERT_NE(repo.tryGit({"merge", "side"}).status, 0);
  auto queue = readerQueue(repo);
  queue->updateViewFor(GitAspects::config);
  queue->waitUntilAllOperationsAreFinished();
  // Set after the view loaded its configuration: the run reads its own.
  repo.git({"config", "merge.tool", "p4merge"});

  auto op = makeOperation<GitExecToolOperation>({.source = Source::status(statusEntries(queue))});
  runOn(queue, op);
  GitOperationContext context(queue);
  auto args = op->arguments(context);
  ASSERT_TRUE(contains(args, "merge.tool=vantry"));
  EXPECT_TRUE(containsPrefix(args, "mergetool.vantry.cmd=REMOTE=$REMOTE BASE=$BASE LOCAL=$LOCAL MERGED=$MERGED /"));
  EXPECT_NE(args[std::find(args.begin(), args.end(), "merge.tool=vantry") - args.begin() + 2].find("p4merge-merge"),
            std::string::npos);
  EXPECT_TRUE(statusEntries(queue).front().hasConflict());
}

TEST(GitExecToolOperation, DifftoolSeesBothSidesOfCommitRefAndWorkingTree) {
  ScratchRepo repo;
  repo.commitFile("f", "one\n", "one");
  auto second = repo.commitFile("f", "two\n", "two");
  repo.git({"branch", "side", "HEAD~1"});
  repo.write("f", "edited\n");
  TempDir record;
  GitToolCommand diff{
      "vantry",     "REMOTE=$REMOTE LOCAL=$LOCAL MERGED=$MERGED sh '" + (record.path() / "tool").string() + "'",
      std::nullopt, std::nullopt,
      std::nullopt, std::nullopt};
  writeScript(record.path() / "tool", recordingTool(record.path(), false));
  auto queue = readerQueue(repo);

  struct Case {
    Source source;
    bool directoryDiff;
    std::string local, remote;
  } cases[] = {
      {Source::commit({*Oid::parse(second), *Oid::parse(second)}), false, "one\n", "two\n"},
      {Source::refToHead("side"), true, "one\n", "two\n"},
      {Source::status(statusEntries(queue)), false, "two\n", "edited\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source.value.index());
    std::filesystem::remove(record.path() / "f.local");
    auto op = makeOperation<GitExecToolOperation>(
        {.source = c.source, .useDirectoryDiff = c.directoryDiff, .difftool = diff});
    runOn(queue, op);
    EXPECT_FALSE(op->isMerge);
    EXPECT_EQ(readFile(record.path() / "f.local"), c.local);
    EXPECT_EQ(readFile(record.path() / "f.remote"), c.remote);
  }

  for (const auto& bad : {Source::refToHead("--output=x"), Source::status({})})
    EXPECT_THROW(runOn(queue, makeOperation<GitExecToolOperation>({.source = bad, .difftool = diff})), TavrikError);
  EXPECT_FALSE(std::filesystem::exists(repo.path() / "x"));
}

TEST(GitExecToolOperation, ArgumentsOfTheKnownTools) {
  auto support = Url::fileURL(std::filesystem::temp_directory_path().string(), true);
  for (const auto& tool : GitTool::all()) {
    SCOPED_TRACE(tool.name);
    ASSERT_TRUE(tool.difftool && tool.mergetool);
    EXPECT_EQ(tool.difftool->toolname, "vantry");
    auto diff = GitExecToolOperation::configurationArguments(*tool.difftool, Kind::diff, support);
    auto merge = GitExecToolOperation::configurationArguments(*tool.mergetool, Kind::merge, support);
    EXPECT_EQ(std::vector<std::string>(diff.begin(), diff.begin() + 2),
              (std::vector<std::string>{"-c", "diff.tool=vantry"}));
    EXPECT_TRUE(contains(diff, "difftool.vantry.cmd=REMOTE=$REMOTE BASE=$BASE LOCAL=$LOCAL MERGED=$MERGED " +
                                   support.path() + "/" + *tool.difftool->sharedSupportScript));
    EXPECT_TRUE(contains(merge, "mergetool.vantry.trustExitCode=true"));
    EXPECT_FALSE(containsPrefix(merge, "mergetool.vantry.path="));
    EXPECT_FALSE(containsPrefix(diff, "difftool.vantry.trustExitCode") || containsPrefix(diff, "difftool.prompt"));
    // Without a shared-support folder there is nothing to launch.
    EXPECT_FALSE(
        containsPrefix(GitExecToolOperation::configurationArguments(*tool.mergetool, Kind::merge, std::nullopt),
                       "mergetool.vantry.cmd="));
  }
  auto araxis =
      GitExecToolOperation::configurationArguments(*GitTool::by("Araxis Merge")->difftool, Kind::diff, support);
  EXPECT_TRUE(contains(araxis, "difftool.vantry.path="));
  auto beyond =
      GitExecToolOperation::configurationArguments(*GitTool::by("Beyond Compare")->difftool, Kind::diff, support);
  EXPECT_FALSE(containsPrefix(beyond, "difftool.vantry.path="));
  const GitToolCommand bare{"bare", {}, {}, {}, {}, {}};
  GitToolCommand own{"mine", "run \"$MERGED\"", "/bin/tool", false, false, std::nullopt};
  EXPECT_EQ(GitExecToolOperation::configurationArguments(own, Kind::merge, std::nullopt),
            (std::vector<std::string>{"-c", "merge.tool=mine", "-c", "mergetool.mine.cmd=run \"$MERGED\"", "-c",
                                      "mergetool.mine.path=/bin/tool", "-c", "mergetool.mine.trustExitCode=false", "-c",
                                      "mergetool.prompt=false"}));
  EXPECT_EQ(GitExecToolOperation::configurationArguments(bare, Kind::diff, support),
            (std::vector<std::string>{"-c", "diff.tool=bare"}));

  EXPECT_FALSE(GitTool::by("Emacs"));
  EXPECT_EQ(GitTool::by("kdiff3")->name, "KDiff3");
  EXPECT_FALSE(GitTool::by("P4Merge")->supportsDirectoryDiff);
  EXPECT_FALSE(GitTool::by("Kaleidoscope")->isInstalled());

  GitOperationContext context(nullptr);
  auto named = GitExecToolOperation::named(Source::refToHead("x"), true, "Meld");
  auto& op = *named;
  EXPECT_TRUE(contains(op.arguments(context), "--dir-diff"));
  op.isMerge = true;
  auto args = op.arguments(context);
  EXPECT_FALSE(contains(args, "--dir-diff"));
  EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 6),
            (std::vector<std::string>{"-c", "mergetool.keepBackup=false", "-c", "mergetool.keepTemporaries=false", "-c",
                                      "mergetool.writeToTemp=true"}));
  EXPECT_EQ(std::vector<std::string>(args.end() - 2, args.end()),
            (std::vector<std::string>{"mergetool", "--no-prompt"}));

  expectHashAgreesWithEquality<GitToolCommand>(
      {*GitTool::all()[0].difftool, *GitTool::all()[0].mergetool, *GitTool::all()[0].difftool, own, bare});
  expectHashAgreesWithEquality<Source>({Source::refToHead("a"), Source::refToHead("b"), Source::refToHead("a"),
                                        Source::commit({}), Source::status({}), Source::status({GitStatusEntry{}})});
}
