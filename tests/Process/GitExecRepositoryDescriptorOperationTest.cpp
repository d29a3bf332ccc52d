#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"
#include "tavrik/Queue/GitFindReadmeOperation.h"
#include "tavrik/Operation/GitQueueOperation.h"
#include "tavrik/Util/TavrikError.h"

#include "Support/Helpers.h"

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
