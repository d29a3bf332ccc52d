#include "tavrik/Diff/GitExecDiffOperation.h"

#include "Support/Helpers.h"

#include <stb_image_write.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

std::string formatAll(const GitDiffList& list) {
  std::string text;
  for (const auto& diff : list.diffs) text += diff->formatPatch();
  return text;
}

// git run by hand with the operation's own arguments.
std::string gitWithArguments(const GitDir& repo, GitExecDiffOperation& op, const std::shared_ptr<GitQueue>& queue) {
  GitOperationContext context(queue);
  return repo.git(op.arguments(context));
}

std::shared_ptr<GitExecDiffOperation> commitPatch(const Oid& commit, bool firstParent) {
  GitDiff request;
  request.commit = commit;
  request.firstParent = firstParent;
  return makeOperation<GitExecDiffOperation>(request, std::nullopt);
}

void appendBytes(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
}

// Every kind of change a working tree can hold, with names git quotes.
void makeChanges(const GitDir& repo) {
  std::string png;
  std::vector<unsigned char> pixels(2 * 2 * 3, 0x40);
  stbi_write_png_to_func(appendBytes, &png, 2, 2, 3, pixels.data(), 6);
  repo.write("plain.txt", "one\n\ntwo\nthree\n");
  repo.write("crlf.txt", "a\r\nb\r\n");
  repo.write("latin1.c", "caf\xe9\n");
  repo.write("noeol.txt", "last");
  repo.write("caf\xc3\xa9 \"q\".txt", "x\n");
  repo.write("run.sh", "echo\n");
  repo.write("gone.txt", "bye\n");
  repo.write("moved.txt", std::string(400, 'm') + "\n");
  repo.write("pic.png", png);
  repo.git({"add", "-A"});
  repo.git({"commit", "-q", "-m", "base"});
  repo.write("plain.txt", "one\n\nTWO\nthree\nfour\n");
  repo.write("crlf.txt", "a\r\nB\r\n");
  repo.write("latin1.c", "CAF\xc9\n");
  repo.write("noeol.txt", "last\nmore");
  repo.write("caf\xc3\xa9 \"q\".txt", "y\n");
  std::filesystem::permissions(repo.path() / "run.sh", std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
  std::filesystem::remove(repo.path() / "gone.txt");
  repo.git({"mv", "moved.txt", "now here.txt"});
  pixels.assign(pixels.size(), 0xC0);
  png.clear();
  stbi_write_png_to_func(appendBytes, &png, 2, 2, 3, pixels.data(), 6);
  repo.write("pic.png", png);
  repo.git({"add", "pic.png"});
}

} // namespace

// formatPatch() of every parsed commit of this project's history is git's
// output byte for byte; merges are read against their first parent.
TEST(GitExecDiffOperation, PatchesOfHistoryRoundTrip) {
  GitDir source(TAVRIK_SOURCE_DIR);
  auto listed = runProgram({"git", "-C", TAVRIK_SOURCE_DIR, "log", "--format=%H %P", "-n", "120", "HEAD"}, ".");
  ASSERT_EQ(listed.status, 0) << "the tests run in a clone of the project";
  auto queue = readerQueue(source);
  int commits = 0;
  for (const auto& line : split(listed.out, '\n')) {
    auto oid = *Oid::parse(line.substr(0, 40));
    const bool merge = std::count(line.begin(), line.end(), ' ') > 1;
    auto op = commitPatch(oid, merge);
    auto list = runOn(queue, op);
    SCOPED_TRACE(line);
    EXPECT_FALSE(list.raw);
    ASSERT_EQ(formatAll(list), gitWithArguments(source, *op, queue));
    for (const auto& diff : list.diffs) EXPECT_EQ(diff->commit, oid);
    ++commits;
  }
  EXPECT_GT(commits, 20);
}

// The raw listing and the patches of a working tree with every kind of
// change, also under a configuration that changes how git prints diffs.
TEST(GitExecDiffOperation, WorkingTreeAndIndexUnderHostileConfiguration) {
  ScratchRepo repo;
  makeChanges(repo);
  const auto config = (repo.path() / ".git/hostile").string();
  for (auto [key, value] : {std::pair{"diff.noprefix", "true"}, {"diff.mnemonicPrefix", "true"},
                            {"diff.suppressBlankEmpty", "true"}, {"color.ui", "always"}, {"core.quotePath", "false"},
                            {"diff.renames", "false"}, {"diff.relative", "true"}, {"diff.context", "1"},
                            {"diff.external", "false"}, {"diff.submodule", "log"}})
    repo.git({"config", "-f", config, key, value});
  auto queue = readerQueue(repo);
  setenv("GIT_CONFIG_GLOBAL", config.c_str(), 1); // until the next scratch repository resets it

  for (bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "index" : "working tree");
    auto list = runOn(queue, makeOperation<GitExecDiffOperation>(cached, false, std::vector<std::string>{}));
    std::set<std::string> paths;
    for (const auto& diff : list.diffs) {
      EXPECT_TRUE(diff->raw);
      auto patch = runOn(queue, makeOperation<GitExecDiffOperation>(*diff, std::nullopt));
      ASSERT_EQ(patch.diffs.size(), 1u) << diff->filePaths().back();
      const auto& read = *patch.diffs[0];
      EXPECT_EQ(read.filePaths(), diff->filePaths());
      EXPECT_EQ(read.status, diff->status == GitStatus::typechange ? GitStatus::modified : diff->status);
      paths.insert(diff->filePaths().back());
      for (const auto& hunk : read.hunks)
        for (size_t i = hunk.linesBegin(); i < hunk.linesEnd(); ++i)
          EXPECT_TRUE(read.lines[i].origin) << "a line of no kind in a hunk: " << read.lines[i].string();
      if (diff->newFile.isImage() && cached) {
        ASSERT_NE(read.newFile.blob->image(), nullptr);
        EXPECT_EQ(read.newFile.blob->image()->width, 2);
        EXPECT_NE(read.oldFile.blob->oid(), Oid::zero);
      }
    }
    GitDiff request;
    request.cached = cached;
    auto everything = makeOperation<GitExecDiffOperation>(request, std::nullopt);
    auto whole = runOn(queue, everything);
    EXPECT_EQ(formatAll(whole), gitWithArguments(repo, *everything, queue));
    setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
    std::vector<std::string> args{"diff", "--name-only", "-z", "-M", "-C"};
    if (cached) args.push_back("--cached");
    auto names = split(repo.git(args), '\0');
    setenv("GIT_CONFIG_GLOBAL", config.c_str(), 1);
    EXPECT_EQ(paths, std::set<std::string>(names.begin(), names.end()));
  }
  auto plain = runOn(queue, makeOperation<GitExecDiffOperation>(false, false, std::vector<std::string>{"plain.txt"}));
  ASSERT_EQ(plain.diffs.size(), 1u);
  EXPECT_EQ(plain.diffs[0]->stats, (GitDiffStats{2, 1}));
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
}
