#include "ArborSupport.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Reflog.h"

#include <unordered_set>

using namespace arbor;
using namespace arbor::testing;

namespace {
std::string seconds(const tavrik::Date& date) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count());
}
std::string zone(int minutes) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%c%02d%02d", minutes < 0 ? '-' : '+', std::abs(minutes) / 60, std::abs(minutes) % 60);
  return buf;
}
} // namespace

// Every commit of the scenario (roots, merges, the stash's) read by the
// library against git's own listing of it.
TEST(Commit, ReadsEveryCommitAsGitListsIt) {
  Repo repo = openWork();
  auto listed = lines(work().git({"log", "--all", "--format=%H %T %P%x00%an%x00%ae%x00%at %ai%x00%cn%x00%ce%x00%ct %ci"}));
  ASSERT_GT(listed.size(), 15u);
  for (const auto& line : listed) {
    SCOPED_TRACE(line);
    Commit c = Commit::lookup(oidOf(line), repo);
    std::string parents;
    for (const auto& p : c.parentIds) parents += (parents.empty() ? "" : " ") + p.string();
    std::string ours = c.id.string() + " " + c.treeId.string() + " " + parents + '\0' + c.author.name + '\0' + c.author.email +
                       '\0' + seconds(c.author.date) + " " + zone(c.author.offsetMinutes) + '\0' + c.committer.name +
                       '\0' + c.committer.email + '\0' + seconds(c.committer.date) + " " + zone(c.committer.offsetMinutes);
    // git writes "%ai" as "2024-03-01 10:00:00 +0200": only its zone is compared.
    std::string theirs = line;
    for (size_t at; (at = theirs.find(" 2024-")) != std::string::npos;) theirs.erase(at, 20);
    EXPECT_EQ(ours, theirs);
    auto raw = work().git({"cat-file", "commit", c.id.string()});
    EXPECT_EQ(c.message, raw.substr(raw.find("\n\n") + 2));
  }
  EXPECT_EQ(Commit::lookup(oidOf(work().rev("HEAD")), repo), Commit::lookup(oidOf(work().rev("main")), repo));
  std::unordered_set<Commit> set{Commit::lookup(oidOf(work().rev("HEAD")), repo), Commit::lookup(oidOf(work().rev("main")), repo),
                                 Commit::lookup(oidOf(work().rev("side")), repo)};
  EXPECT_EQ(set.size(), 2u);
}

TEST(Commit, LookupFailsForMissingObjectOrNonCommit) {
  Repo repo = openWork();
  try {
    Commit::lookup(*Oid::parse("0123456789abcdef0123456789abcdef01234567"), repo);
    FAIL() << "found a commit that does not exist";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), Error::Code::notFound);
  }
  EXPECT_THROW(Commit::lookup(oidOf(work().rev("HEAD^{tree}")), repo), Error);
}

// Reflogs newest first, chained old to new, as `git log -g` lists them.
TEST(Reflog, ReadsEntriesAsGitListsThem) {
  Repo repo = openWork();
  for (const char* name : {"HEAD", "refs/heads/side", "refs/heads/main"}) {
    SCOPED_TRACE(name);
    Reflog reflog = Reflog::read(name, repo);
    std::vector<std::string> ours;
    for (const auto& e : reflog.entries()) ours.push_back(e.newId.string() + " " + e.committer.name + " " + e.message);
    EXPECT_EQ(ours, lines(work().git({"log", "-g", "--format=%H %gn %gs", name, "--"})));
    for (size_t i = 0; i + 1 < reflog.count(); ++i) EXPECT_EQ(reflog.entry(i).oldId, reflog.entry(i + 1).newId) << i;
    EXPECT_TRUE(reflog.entries().back().oldId.isZero());
    EXPECT_THROW(reflog.entry(reflog.count()), Error);
  }
  EXPECT_EQ(Reflog::read("refs/heads/no-log", repo).count(), 0u);
  auto entries = Reflog::read("HEAD", repo).entries();
  std::unordered_set<ReflogEntry> set(entries.begin(), entries.end());
  EXPECT_EQ(set.size(), entries.size());
}

TEST(Oid, ParsesFortyHexDigitsInEitherCaseOnly) {
  auto lower = Oid::parse("0123456789abcdef0123456789abcdef01234567");
  ASSERT_TRUE(lower);
  EXPECT_EQ(Oid::parse("0123456789ABCDEF0123456789ABCDEF01234567"), lower);
  EXPECT_EQ(lower->string(), "0123456789abcdef0123456789abcdef01234567");
  for (const char* text : {"", "0123", "0123456789abcdef0123456789abcdef0123456", "0123456789abcdef0123456789abcdef012345678",
                           "g123456789abcdef0123456789abcdef01234567", " 123456789abcdef0123456789abcdef01234567"})
    EXPECT_FALSE(Oid::parse(text)) << text;
  EXPECT_EQ(Oid::parse(std::string(40, '0')), Oid::zero);
}
