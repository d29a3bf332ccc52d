#include "JsonOutput.h"
#include "ProgressBar.h"
#include "TextOutput.h"

#include "Support/ScratchRepo.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace cli = tavrik::cli;
namespace tt = tavrik::testing;
using nlohmann::json;
using tt::runProgram;
using tt::ScratchRepo;

namespace {

tt::CommandResult tavrikCli(const std::filesystem::path& repo, std::vector<std::string> args) {
  std::vector<std::string> argv = {TAVRIK_CLI_PATH, "--prefix", tt::testPrefix().string(), "-C", repo.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, repo);
}

json jsonOf(const tt::CommandResult& result) {
  EXPECT_EQ(result.status, 0) << result.err;
  return json::parse(result.out);
}

} // namespace

TEST(Cli, StatusJsonListsEveryKindOfChange) {
  ScratchRepo repo;
  repo.commitFile("tracked.txt", "one\n", "first");
  repo.write("tracked.txt", "two\n");
  repo.write("new dir/untracked.txt", "x");
  repo.commitFile("old.txt", "content\n", "second");
  repo.git({"mv", "old.txt", "renamed.txt"});

  auto status = jsonOf(tavrikCli(repo.path(), {"status", "--json"}));
  auto entries = status.at("entries");
  ASSERT_EQ(entries.size(), 3u) << status.dump(2);
  EXPECT_EQ(entries[0]["newPath"], "new dir/");
  EXPECT_EQ(entries[0]["index"], "?");
  EXPECT_FALSE(entries[0].contains("oidHead")); // absent fields are left out
  EXPECT_EQ(entries[1]["oldPath"], "old.txt");
  EXPECT_EQ(entries[1]["newPath"], "renamed.txt");
  EXPECT_EQ(entries[1]["index"], "R");
  EXPECT_EQ(entries[1]["score"], 100);
  EXPECT_EQ(entries[2]["newPath"], "tracked.txt");
  EXPECT_EQ(entries[2]["worktree"], "M");
  EXPECT_EQ(entries[2]["modeHead"], 100644);
  EXPECT_EQ(entries[2]["oidHead"].get<std::string>().size(), 40u);
  EXPECT_TRUE(entries[2].contains("modificationDate"));

  auto text = tavrikCli(repo.path(), {"status"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out, "?? \"new dir/\"\nR  old.txt -> renamed.txt\n M tracked.txt\n");
}

TEST(Cli, RefsHeadCountAndDescribe) {
  ScratchRepo repo;
  auto first = repo.commitFile("a.txt", "1\n", "first");
  repo.git({"tag", "-a", "v1", "-m", "release"});
  repo.git({"branch", "feature"});
  repo.commitFile("a.txt", "2\n", "second");
  repo.git({"branch", "--set-upstream-to=feature", "main"});

  auto refs = jsonOf(tavrikCli(repo.path(), {"refs", "--json"}));
  EXPECT_EQ(refs["head"]["name"], "refs/heads/main");
  EXPECT_EQ(refs["head"]["upstreamCount"], (json{{"left", 1}, {"right", 0}}));
  EXPECT_EQ(refs["tag"][0]["shorthand"], "v1");
  EXPECT_EQ(refs["tag"][0]["commit"], first);
  EXPECT_NE(refs["tag"][0]["target"], first); // annotated: the tag object
  EXPECT_EQ(refs["head"]["creatorDate"]["offset"], 7200);

  auto text = tavrikCli(repo.path(), {"refs"});
  EXPECT_NE(text.out.find("* main"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("[feature: ahead 1]"), std::string::npos) << text.out;

  auto head = jsonOf(tavrikCli(repo.path(), {"head", "--json"}));
  EXPECT_EQ(head["head"]["refname"], "main");
  EXPECT_EQ(head["head"]["isSymbolic"], false);
  EXPECT_EQ(head["head"]["lastMessage"], "second\n");
  EXPECT_EQ(head["stateFiles"]["state"], "none");
  EXPECT_EQ(head["stateTitle"], "None");
  EXPECT_EQ(head["mergeHead"]["refname"], "MERGE_HEAD");

  auto count = tavrikCli(repo.path(), {"count", "main", "feature"});
  EXPECT_EQ(count.out, "1\t0\n");

  auto describe = jsonOf(tavrikCli(repo.path(), {"describe", "--json"}));
  EXPECT_EQ(describe["gitURL"], "file://" + (repo.path() / ".git").string() + "/");
  EXPECT_EQ(describe["displayName"], repo.path().filename().string());
  EXPECT_EQ(describe["isBare"], false);
}

TEST(Cli, ErrorsGoToStderrWithNonZeroExit) {
  tt::TempDir notARepository;
  auto result = tavrikCli(notARepository.path(), {"status"});
  EXPECT_NE(result.status, 0);
  EXPECT_TRUE(result.out.empty());
  EXPECT_NE(result.err.find("Invalid Repository"), std::string::npos) << result.err;

  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "first");
  auto bad = tavrikCli(repo.path(), {"count", "main", "no-such-branch"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("Git exited with status"), std::string::npos) << bad.err;
}

TEST(Cli, ReadmePrefersReadmeMd) {
  ScratchRepo repo;
  repo.write("README", "x");
  repo.write("Readme.MD", "x");
  repo.write("readme.txt", "x");
  auto result = tavrikCli(repo.path(), {"readme"});
  EXPECT_EQ(result.out, (repo.path() / "Readme.MD").string() + "\n");
}

// The client's text names files exactly as git's own listing does, and a
// repository with such names reads whole, in text and in JSON.
TEST(CliOutput, QuotesPathsLikeGit) {
  ScratchRepo repo;
  const std::vector<std::string> names = {"plain name.txt", "tab\there", "new\nline", "q\"b\\", "\x01\x7f",
                                          "caf\xC3\xA9",  "bad\xFF\xFEname", "unt\xE9"};
  for (const auto& name : names) repo.write(name, "x\n");
  auto listed = repo.git({"status", "--short", "--untracked-files=all"});
  auto ours = tavrikCli(repo.path(), {"status"});
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(ours.out, listed);
  EXPECT_EQ(jsonOf(tavrikCli(repo.path(), {"status", "--json"}))["entries"].size(), names.size());
  repo.git({"add", "-A"});
  repo.git({"commit", "-q", "-m", "all"});
  EXPECT_EQ(tavrikCli(repo.path(), {"status"}).out, "nothing to commit, working tree clean\n");
}

TEST(CliOutput, JsonSafeReplacesOnlyInvalidBytes) {
  EXPECT_EQ(cli::jsonSafe("ok ü"), "ok ü");
  EXPECT_EQ(cli::jsonSafe("a\xff" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(cli::jsonSafe("\xC3"), "\xEF\xBF\xBD"); // truncated sequence
  EXPECT_NO_THROW(json(cli::jsonSafe("\xed\xa0\x80")).dump());
}

TEST(CliOutput, ProgressBarRendersPercent) {
  EXPECT_EQ(cli::ProgressBar::render("Fetch", 50, "Receiving objects", 10), "Fetch [#####     ]  50% Receiving objects");
  EXPECT_EQ(cli::ProgressBar::render("Push", std::nullopt, "", 4), "Push [    ]   0%");
  EXPECT_EQ(cli::ProgressBar::render("Push", 250, "", 4), "Push [####] 100%");
}
