#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"
#include "tavrik/Queue/GitFindReadmeOperation.h"
#include "tavrik/Operation/GitQueueOperation.h"
#include "tavrik/Util/TavrikError.h"

#include "Process/PlainRepositoryAnswers.h"
#include "Support/Helpers.h"

#include <map>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitRepositoryDescriptor describe(const std::filesystem::path& path) {
  return runOn(makeReaderQueue(std::nullopt), makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(path.string(), true)));
}

struct LocalOperation : GitQueueOperation {};

std::string failureOf(const std::filesystem::path& path) {
  try {
    describe(path);
  } catch (const TavrikError& error) {
    return error.localizedDescription();
  }
  return "no error";
}

} // namespace

// The locations git reports, made absolute, for each kind of repository.
TEST(GitExecRepositoryDescriptorOperation, DescribesEveryKindOfRepository) {
  auto scenario = ScenarioRepo::copy();
  const auto& work = scenario->work;
  const auto linked = scenario->work.path().parent_path() / "linked";
  work.git({"worktree", "add", "-q", linked.string(), "side"});
  const auto shallow = scenario->work.path().parent_path() / "shallow";
  runProgram({"git", "clone", "-q", "--depth", "1", "file://" + scenario->upstream.path().string(), shallow.string()},
             work.path());
  const auto git = work.path() / ".git";
  struct Case {
    std::filesystem::path at, url, gitDir, commonDir;
    bool bare, isShallow;
  } cases[] = {
      {work.path(), work.path(), git, git, false, false},
      {work.path() / "old", work.path(), git, git, false, false}, // git answers relative to the subdirectory
      {linked, linked, git / "worktrees" / "linked", git, false, false},
      {scenario->upstream.path(), scenario->upstream.path(), scenario->upstream.path(), scenario->upstream.path(), true, false},
      {shallow, shallow, shallow / ".git", shallow / ".git", false, true},
      {git, git, git, git, false, false}, // no work tree from inside the git directory
  };
  std::filesystem::create_directories(work.path() / "old");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at);
    auto d = describe(c.at);
    EXPECT_EQ(d.url.path(), c.url.string());
    EXPECT_EQ(d.gitURL.path(), c.gitDir.string());
    EXPECT_EQ(d.commonURL.path(), c.commonDir.string());
    EXPECT_EQ(d.isBare, c.bare);
    EXPECT_EQ(d.isShallow, c.isShallow);
    EXPECT_EQ(d.displayName, c.url.filename().string());
    EXPECT_TRUE(d.isValid());
  }
}

// Errors name the folder they are about.
TEST(GitExecRepositoryDescriptorOperation, FailuresNameTheFolder) {
  TempDir plain;
  EXPECT_EQ(failureOf(plain.path()), "Invalid Repository: " + plain.path().string());
  const auto missing = plain.path() / "no" / "such";
  EXPECT_NE(failureOf(missing).find(missing.string()), std::string::npos) << failureOf(missing);
}

// A SHA-256 repository is refused when it is described, from its work tree,
// its git directory or bare, before any reader could misread it.
TEST(GitExecRepositoryDescriptorOperation, RefusesObjectFormatsOtherThanSHA1) {
  TempDir dir;
  runProgram({"git", "init", "-q", "--object-format=sha256", "work"}, dir.path());
  runProgram({"git", "init", "-q", "--bare", "--object-format=sha256", "bare"}, dir.path());
  const auto work = dir.path() / "work";
  for (const auto& at : {work, work / ".git", dir.path() / "bare"}) {
    SCOPED_TRACE(at);
    EXPECT_EQ(failureOf(at), TavrikError::unsupportedObjectFormat(at.string(), "sha256").localizedDescription());
  }
}

TEST(GitFindReadmeOperation, ChoosesMarkdownReadmeFirstInNameOrder) {
  using Names = std::vector<std::string>;
  const std::pair<Names, std::optional<std::string>> cases[] = {
      {{"README", "Readme.MD", "readme.txt"}, "Readme.MD"},
      {{"readme.txt", "README"}, "README"},
      {{"README.markdown", "ReadMe-dev.md", "README.MD"}, "README.MD"},
      {{"readme-b.md", "readme-a.md", "README"}, "readme-a.md"},
      {{"src", "LICENSE", "notes.md"}, std::nullopt},
  };
  for (const auto& [names, chosen] : cases) EXPECT_EQ(GitFindReadmeOperation::chooseReadme(names), chosen);
  auto scenario = ScenarioRepo::copy();
  scenario->work.write("README", "plain");
  scenario->work.write("Readme.md", "markdown");
  auto found = runOn(readerQueue(scenario->work), makeOperation<GitFindReadmeOperation>());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path(), (scenario->work.path() / "Readme.md").string());
  TempDir place;
  EXPECT_THROW(runOn(makeReaderQueue(worktreeDescriptor(place.path() / "missing")), makeOperation<GitFindReadmeOperation>()),
               TavrikError);
}

// Folders answered without git get git's own bytes; every layout git could
// answer otherwise is left to git. Each case says whether it is answered,
// so the comparison cannot pass by answering nothing.
TEST(GitExecRepositoryDescriptorOperation, AnswersWithoutGitOnlyWhatGitWouldAnswer) {
  makeGitEnvironmentHermetic();
  TempDir dir;
  const auto root = dir.path();
  auto sh = [&](const std::string& script) { runScript(script, root); };
  sh("git init -q plain && git init -q 'sp ace\xe9' && ln -s plain link && mkdir plain/sub"
     " && git init -q detached && git -C detached commit -q --allow-empty -m c && git -C detached checkout -q --detach"
     " && git init -q unborn && git -C unborn symbolic-ref HEAD refs/heads/other"
     " && git init -q upper && git -C upper config core.bare False"
     " && git init -q version1 && git -C version1 config core.repositoryformatversion 1"
     " && git init -q --bare bare.git && git -C detached worktree add -q ../linked"
     " && git init -q configured && git -C configured config core.worktree ../plain"
     " && git clone -q --depth 1 file://$PWD/detached shallow"
     " && git init -q --object-format=sha256 sha256"
     " && mkdir gitlink && ln -s ../plain/.git gitlink/.git"
     " && git init -q included && git -C included config include.path /dev/null"
     " && git init -q barecfg && git -C barecfg config core.bare true");
  struct Case {
    std::string folder;
    bool answered;
    std::map<std::string, std::string> environment = {};
  } cases[] = {
      {"plain", true},       {"sp ace\xe9", true},   {"link", true},         {"detached", true},
      {"unborn", true},      {"upper", true},        {"version1", true},     {"plain/sub", false},
      {"bare.git", false},   {"linked", false},      {"configured", false},  {"shallow", false},
      {"sha256", false},     {"gitlink", false},     {"included", false},    {"barecfg", false},
      {"plain", false, {{"GIT_DIR", (root / "detached/.git").string()}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const auto folder = root / c.folder;
    const auto fast = detail::plainRepositoryAnswers(folder.string(), c.environment);
    EXPECT_EQ(fast.has_value(), c.answered);
    if (!fast) continue;
    const auto git = runProgram({"git", "rev-parse", "--absolute-git-dir", "--git-common-dir", "--is-bare-repository",
                                 "--is-shallow-repository", "--show-object-format", "--show-toplevel"},
                                folder);
    ASSERT_EQ(git.status, 0) << git.err;
    std::string expected;
    for (const auto& answer : *fast) expected += answer + "\n";
    EXPECT_EQ(expected, git.out);
  }
}
