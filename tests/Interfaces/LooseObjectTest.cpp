#include "ArborSupport.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Blob.h"
#include "tavrik/Interfaces/Commit.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <thread>

using namespace arbor;
using namespace arbor::testing;
using tavrik::testing::readFile;
using tavrik::testing::ScratchRepo;

namespace {

// The bytes read, or the error; a reader that has not answered after a while
// is left running and reported.
std::optional<std::string> readBounded(const std::function<std::string()>& read, bool& hung) {
  auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
  auto answer = promise->get_future();
  std::thread([promise, read] {
    try {
      promise->set_value(read());
    } catch (const Error&) {
      promise->set_value(std::nullopt);
    }
  }).detach();
  hung = answer.wait_for(std::chrono::seconds(20)) != std::future_status::ready;
  return hung ? std::nullopt : answer.get();
}

} // namespace

// Loose objects cut short (the cuts that made libgit2's reader spin among
// them) or with a bit changed: the library fails where git fails, reads what
// git reads, and always answers.
TEST(LooseObject, CorruptBlobsAndCommitsReadAsGitReadsThem) {
  ScratchRepo repo;
  std::string content;
  for (int i = 0; i < 3000; ++i) content += std::to_string(i * 7919 % 10007) + "\n";
  const std::string commit = repo.commitFile("f", content, "a message\n\nwith a body");
  const std::string blob = repo.rev("HEAD:f");
  std::mt19937 random(20261209);
  for (const auto& [oid, kind] : {std::pair{blob, "blob"}, std::pair{commit, "commit"}}) {
    const auto path = repo.path() / ".git" / "objects" / oid.substr(0, 2) / oid.substr(2);
    const std::string original = readFile(path);
    ASSERT_GT(original.size(), 20u);
    std::vector<std::string> variants{original, original + "x", ""};
    for (size_t cut : {1, 2, 4, 8, 12, 16})
      variants.push_back(original.substr(0, original.size() - cut));
    variants.push_back(original.substr(0, original.size() / 2));
    for (int i = 0; i < 24; ++i) {
      auto changed = original;
      changed[random() % changed.size()] ^= static_cast<char>(1 << (random() % 8));
      variants.push_back(changed);
    }
    for (size_t i = 0; i < variants.size(); ++i) {
      SCOPED_TRACE(std::string(kind) + " variant " + std::to_string(i));
      std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
      std::ofstream(path, std::ios::binary | std::ios::trunc) << variants[i];
      auto git = repo.tryGit({"cat-file", kind, oid});
      const Repo opened = Repo::openAtPath(repo.path().string());
      bool hung = false;
      auto ours = readBounded(
          [opened, oid = oid, isBlob = std::string(kind) == "blob"]() -> std::string {
            if (isBlob) return std::string(Blob::lookup(oidOf(oid), opened).content());
            return Commit::lookup(oidOf(oid), opened).message;
          },
          hung);
      ASSERT_FALSE(hung) << "the reader did not answer";
      EXPECT_EQ(ours.has_value(), git.status == 0) << git.err;
      if (ours && git.status == 0) {
        if (std::string(kind) == "blob") EXPECT_EQ(*ours, git.out);
        else EXPECT_EQ(*ours, git.out.substr(git.out.find("\n\n") + 2));
      }
    }
  }
}
