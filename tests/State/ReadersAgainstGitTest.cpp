// The readers against git's own listing of the same repository, byte for
// byte, with names that are not UTF-8, a working-tree file named HEAD and a
// tag of a blob; once with no user configuration and once under a global
// configuration that sets every printing option that could change a record.
#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"

#include "State/ReadersTestSupport.h"

#include <fstream>
#include <set>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

const char* kScenario = R"sh(b=$(printf 'bad\377\376name'); printf 1 > "$b"; echo h > HEAD; echo k > keep
git add -A && git commit -q -m "one" && git tag v1 && git tag blobtag "$(git rev-parse HEAD:keep)"
git branch "$(printf 'a\351')" && git branch zzz
printf 2 > "$b"; printf u > "$(printf 'unt\351')"; git mv keep kept)sh";

const char* kHostile = R"(
[log]
  decorate = full
  showSignature = false
  abbrevCommit = true
[color]
  ui = always
  status = always
  branch = always
[column]
  ui = always
[status]
  showUntrackedFiles = no
  renames = false
  branch = true
  short = true
  relativePaths = false
[diff]
  renames = false
  noprefix = true
[core]
  quotePath = false
  abbrev = 7
[format]
  pretty = oneline
[i18n]
  logOutputEncoding = ISO-8859-1
[branch]
  sort = -committerdate
[tag]
  sort = -version:refname
)";

std::set<std::string> fields(const std::string& out, char end) {
  std::set<std::string> fields;
  size_t start = 0;
  for (size_t stop; (stop = out.find(end, start)) != std::string::npos; start = stop + 1)
    fields.insert(out.substr(start, stop - start));
  return fields;
}

class ReadersAgainstGit : public ::testing::TestWithParam<bool> {};

} // namespace

TEST_P(ReadersAgainstGit, ReadEveryChangeAndEveryRef) {
  ScratchRepo repo;
  ASSERT_EQ(runProgram({"/bin/sh", "-ec", kScenario}, repo.path()).status, 0);
  // git's own listings, read without any user configuration.
  auto statusOut = repo.git({"status", "-z", "--porcelain=v2"});
  auto refsOut = repo.git({"for-each-ref", "--format=%(refname)"});
  auto head = repo.git({"rev-parse", "HEAD"}).substr(0, 40);

  const auto hostile = repo.path() / ".." / (repo.path().filename().string() + ".gitconfig");
  if (GetParam()) {
    std::ofstream(hostile) << kHostile;
    setenv("GIT_CONFIG_GLOBAL", hostile.c_str(), 1);
  }
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  if (GetParam()) setenv("GIT_CONFIG_GLOBAL", hostile.c_str(), 1);  // after the helper's hermetic reset

  std::set<std::string> paths;
  auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>(false)).status;
  for (const auto& entry : status->entries)
    for (const auto& path : entry.paths()) paths.insert(path);
  std::set<std::string> gitPaths;
  for (auto record : fields(statusOut, '\0')) {
    // "1 XY sub mH mI mW hH hI path", "2 ... Xscore path" then the source as
    // its own record, "? path": the path follows the last field that git
    // writes before it.
    size_t fields = record[0] == '1' ? 8 : record[0] == '2' ? 9 : record[0] == '?' ? 1 : 0;
    size_t at = 0;
    for (size_t i = 0; fields && i < fields; ++i) at = record.find(' ', at) + 1;
    gitPaths.insert(fields ? record.substr(at) : record);
  }
  EXPECT_EQ(paths, gitPaths);
  EXPECT_EQ(paths.size(), 4u);  // bad\377\376name, unt\351, keep -> kept

  std::set<std::string> names;
  for (const auto& ref : runOn(queue, makeOperation<GitViewRefsOperation>()).refs.all) names.insert(ref.name);
  EXPECT_EQ(names, fields(refsOut, '\n'));
  EXPECT_TRUE(names.count("refs/tags/blobtag"));

  auto heads = runOn(queue, makeOperation<GitViewHeadOperation>()).headList;
  ASSERT_TRUE(heads.head.commit);
  EXPECT_EQ(heads.head.commit->string(), head);
  EXPECT_EQ(heads.head.refname, "main");
  EXPECT_EQ(heads.head.lastMessage, "one\n");
  std::filesystem::remove(hostile);
}

INSTANTIATE_TEST_SUITE_P(UserConfiguration, ReadersAgainstGit, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Hostile" : "None"; });
