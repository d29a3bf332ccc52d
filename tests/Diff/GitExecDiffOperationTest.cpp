#include "tavrik/Diff/GitExecDiffOperation.h"

#include "Support/Helpers.h"

#include <stb_image_write.h>

#include <map>
#include <random>

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
    auto list = runOn(queue, makeOperation<GitExecDiffOperation>({.cached = cached}));
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
  auto plain = runOn(queue, makeOperation<GitExecDiffOperation>({.paths = {"plain.txt"}}));
  ASSERT_EQ(plain.diffs.size(), 1u);
  EXPECT_EQ(plain.diffs[0]->stats, (GitDiffStats{2, 1}));
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
}

// Seeded random working trees (edits, deletions, mode changes, files turned
// into symbolic links, a file added with intent to add) against git: listed
// diffs count the lines `git diff --numstat` counts; patch records carry the
// modes `git diff --raw` gives and their counts add up to git's; and the
// numbered lines are the lines of the files at those numbers, while header
// and hunk lines have no number.
TEST(GitExecDiffOperation, CountsModesAndLineNumbersAgreeWithGit) {
  std::mt19937 random(20261209);
  auto text = [&](unsigned lines) {
    std::string s;
    for (unsigned i = 0; i < lines; ++i) s += std::to_string(random() % 4) + "\n";
    return s;
  };
  auto linesOf = [](const std::string& content) { return split(content, '\n'); };
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ScratchRepo repo;
    for (int f = 0; f < 8; ++f) repo.write("f" + std::to_string(f), text(1 + random() % 12));
    repo.git({"add", "-A"});
    repo.git({"commit", "-q", "-m", "base"});
    for (int f = 1; f < 8; ++f) {
      const std::string name = "f" + std::to_string(f);
      const auto path = repo.path() / name;
      switch (random() % 4) {
      case 0: repo.write(name, text(1 + random() % 12)); break;
      case 1: std::filesystem::remove(path); break;
      case 2:
        std::filesystem::remove(path);
        std::filesystem::create_symlink("f0", path);
        break;
      case 3:
        std::filesystem::permissions(path, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
        break;
      }
    }
    repo.write("intent", "added with\nintent to add\n");
    repo.git({"add", "-N", "intent"});

    std::map<std::string, GitDiffStats> numstat;
    auto fields = split(repo.git({"diff", "--numstat", "-z", "-M", "-C"}), '\0');
    for (const auto& field : fields) {
      auto pieces = split(field, '\t');
      ASSERT_EQ(pieces.size(), 3u) << field;
      numstat[pieces[2]] = {std::stoll(pieces[0]), std::stoll(pieces[1])};
    }
    std::map<std::string, std::pair<std::string, std::string>> modes;
    auto raw = split(repo.git({"diff", "--raw", "-z", "-M", "-C", "--no-abbrev"}), '\0');
    for (size_t i = 0; i + 1 < raw.size(); i += 2) modes[raw[i + 1]] = {raw[i].substr(1, 6), raw[i].substr(8, 6)};

    auto queue = readerQueue(repo);
    std::map<std::string, GitDiffStats> listed, patched;
    for (const auto& diff : runOn(queue, makeOperation<GitExecDiffOperation>()).diffs)
      listed[diff->filePaths().back()] = diff->stats;
    EXPECT_EQ(listed, numstat);

    for (const auto& diff : runOn(queue, makeOperation<GitExecDiffOperation>({.raw = false})).diffs) {
      const std::string path = diff->filePaths().back();
      SCOPED_TRACE(path);
      patched[path].insertions += diff->stats.insertions;
      patched[path].deletions += diff->stats.deletions;
      if (diff->status != GitStatus::added) {
        EXPECT_EQ(diff->oldFile.mode, GitMode::fromOctal(modes[path].first));
      }
      if (diff->status != GitStatus::deleted) {
        EXPECT_EQ(diff->newFile.mode, GitMode::fromOctal(modes[path].second));
      }
      const auto oldLines = linesOf(repo.tryGit({"show", ":" + path}).out);
      const auto target = repo.path() / path;
      const auto newLines = std::filesystem::is_symlink(target)
                                ? std::vector<std::string>{std::filesystem::read_symlink(target).string()}
                                : linesOf(std::filesystem::exists(target) ? readFile(target) : "");
      for (const auto& line : diff->lines) {
        std::string content(line.string().substr(0, line.string().size() - 1));
        if (line.oldLineNumber) {
          EXPECT_EQ(oldLines.at(*line.oldLineNumber - 1), content);
        }
        if (line.newLineNumber) {
          EXPECT_EQ(newLines.at(*line.newLineNumber - 1), content);
        }
        if (!line.origin) {
          EXPECT_TRUE(!line.oldLineNumber && !line.newLineNumber) << line.string();
        }
      }
    }
    EXPECT_EQ(patched, numstat);
  }
}

// A file rewritten in the second its index was written has stat data git
// must not trust; the diff still sees it, as git does.
TEST(GitExecDiffOperation, SeesAFileChangedInTheSecondOfItsIndex) {
  ScratchRepo repo;
  repo.git({"config", "core.trustctime", "false"});
  repo.commitFile("same-size", "one\n", "one");
  runScript("touch -d @1700000000 same-size && git add same-size && touch -d @1700000000 .git/index && "
            "printf 'two\\n' > same-size && touch -d @1700000000 same-size",
            repo.path());
  ASSERT_EQ(repo.git({"diff", "--name-only"}), "same-size\n");
  auto list = runOn(readerQueue(repo), makeOperation<GitExecDiffOperation>());
  ASSERT_EQ(list.diffs.size(), 1u);
  EXPECT_EQ(list.diffs[0]->newFile.path, "same-size");
}
