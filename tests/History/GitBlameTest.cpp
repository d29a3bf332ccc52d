#include "tavrik/History/GitBlameOperation.h"

#include "History/GitBlameParser.h"
#include "Support/Helpers.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <dirent.h>
#include <random>
#include <unistd.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// What one final line is blamed on: commit, original path and line, boundary.
using LineBlame = std::tuple<std::string, std::string, size_t, bool>;

std::vector<LineBlame> expanded(const GitBlame& blame) {
  std::vector<LineBlame> lines;
  for (const auto& range : blame.ranges)
    for (size_t i = 0; i < range.lineCount; ++i)
      lines.emplace_back(range.commit->id.string(), range.originalPath, range.originalLine + i, range.commit->boundary);
  return lines;
}

// git's own answer, from "--line-porcelain", which repeats every field per line.
std::vector<LineBlame> gitBlame(const GitDir& repo, std::vector<std::string> args) {
  args.insert(args.begin(), {"blame", "--line-porcelain"});
  std::vector<LineBlame> lines;
  LineBlame current;
  for (const auto& line : split(repo.git(args), '\n')) {
    if (line.size() > 41 && line[40] == ' ' && Oid::parse(line.substr(0, 40))) {
      current = {line.substr(0, 40), "", std::stoul(line.substr(41)), false};
    } else if (line.rfind("boundary", 0) == 0) {
      std::get<3>(current) = true;
    } else if (line.rfind("filename ", 0) == 0) {
      std::string name = line.substr(9);
      if (auto unquoted = gitUnquotedPrefix(name)) name = unquoted->name;
      std::get<1>(current) = name;
    } else if (line.rfind("\t", 0) == 0) {
      lines.push_back(current);
    }
  }
  return lines;
}

std::string fileOf(const std::vector<std::string>& lines, const std::string& ending) {
  std::string out;
  for (const auto& line : lines) out += line + ending;
  return out;
}

// A seeded history of one file that moves twice (once to a Latin-1 name),
// takes lines copied from another file, has blocks moved within it,
// whitespace-only edits, CRLF and Latin-1 lines; returns the path at HEAD
// and the ids of the whitespace-only commits.
std::pair<std::string, std::vector<std::string>> buildHistory(const GitDir& repo, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::string> lines, donor;
  for (int i = 0; i < 30; ++i) lines.push_back("int original_line_" + std::to_string(i) + " = compute(" + std::to_string(i) + ");");
  for (int i = 0; i < 12; ++i) donor.push_back("static const char *donor_text_" + std::to_string(i) + " = \"shared words\";");
  lines[3] = "caf\xe9 Latin-1 line with enough characters\r";
  std::string path = "src/main.c";
  repo.write("lib/donor.c", fileOf(donor, "\n"));
  repo.commitFile(path, fileOf(lines, "\n"), "start");
  std::vector<std::string> whitespaceCommits;
  for (int step = 0; step < 24; ++step) {
    const std::string before = fileOf(lines, "\n");
    const size_t at = random() % lines.size();
    std::string message = "step " + std::to_string(step);
    switch (random() % 6) {
    case 0: lines[at] += " /* edited " + std::to_string(step) + " */"; break;
    case 1: lines.insert(lines.begin() + at, "int added_in_step_" + std::to_string(step) + "_x = 0;\r"); break;
    case 2:
      if (lines.size() > 10) lines.erase(lines.begin() + at);
      break;
    case 3: { // a block of four lines moves elsewhere
      const size_t from = random() % (lines.size() - 4);
      std::vector<std::string> block(lines.begin() + from, lines.begin() + from + 4);
      lines.erase(lines.begin() + from, lines.begin() + from + 4);
      lines.insert(lines.begin() + random() % lines.size(), block.begin(), block.end());
      break;
    }
    case 4: lines.insert(lines.begin() + at, donor.begin() + 2, donor.begin() + 7); break;
    case 5: lines[at] = "   " + lines[at] + "  "; message = "whitespace"; break;
    }
    if (fileOf(lines, "\n") == before) lines.push_back("int appended_in_step_" + std::to_string(step) + " = 1;");
    if (step == 8 || step == 16) {
      const std::string to = step == 8 ? "src/renamed.c" : "src/d\xe9j\xe0.c";
      repo.git({"mv", path, to});
      path = to;
    }
    repo.commitFile(path, fileOf(lines, "\n"), message);
    if (message == "whitespace") whitespaceCommits.push_back(repo.rev("HEAD"));
  }
  return {path, whitespaceCommits};
}

// An options record (g++ 12 warns on designated initialisers that leave
// fields out).
GitBlameOptions options(std::optional<std::string> revision, GitBlameWhitespace whitespace = GitBlameWhitespace::significant,
                        GitBlameMoves moves = GitBlameMoves::ignored, GitBlameCopies copies = GitBlameCopies::ignored) {
  GitBlameOptions o;
  o.revision = std::move(revision);
  o.whitespace = whitespace;
  o.moves = moves;
  o.copies = copies;
  return o;
}

GitBlame blame(const GitDir& repo, const std::string& path, GitBlameOptions options,
               std::vector<GitBlameRange>* delivered = nullptr) {
  auto operation = makeOperation<GitBlameOperation>(path, options);
  std::mutex mutex;
  operation->onRanges = [&](const std::vector<GitBlameRange>& ranges) {
    std::lock_guard lock(mutex);
    if (delivered) delivered->insert(delivered->end(), ranges.begin(), ranges.end());
  };
  return runOn(readerQueue(repo), operation);
}

} // namespace

// Every option set, at HEAD and in a working tree with uncommitted lines,
// gives what git blame --line-porcelain gives, for several seeded histories;
// the last is read under settings that change how git prints.
TEST(GitBlame, RecordsEqualGitsForEveryLineAcrossHistories) {
  TempDir dir;
  const auto hostile = (dir.path() / "hostile").string();
  GitDir(dir.path()).write("hostile", "[blame]\ndate=relative\nshowEmail=true\nshowRoot=true\nblankBoundary=true\n"
                                      "coloring=highlightRecent\n[color]\nui=always\n[color \"blame\"]\nhighlightRecent=red\n"
                                      "[core]\nabbrev=5\nquotePath=false\n[i18n]\nlogOutputEncoding=ISO-8859-1\n");
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ScratchRepo repo;
    auto [path, whitespaceCommits] = buildHistory(repo, seed);
    std::string ignored;
    for (const auto& id : whitespaceCommits) ignored += id + "\n";
    repo.write(".ignore-revs", ignored);
    auto content = readFile(repo.path() / path);
    repo.write(path, "uncommitted first line\n" + content.substr(content.find('\n') + 1) + "tail\r\n");

    auto ignoring = options({});
    ignoring.ignoreRevsFile = ".ignore-revs";
    auto someLines = options("HEAD");
    someLines.lines = GitBlameLineRange{5, 12};
    const std::vector<std::pair<GitBlameOptions, std::vector<std::string>>> cases{
        {options("HEAD"), {"HEAD"}},
        {options({}), {}},
        {options("HEAD", GitBlameWhitespace::ignored), {"-w", "HEAD"}},
        {options("HEAD", {}, GitBlameMoves::detected), {"-M", "HEAD"}},
        {options("HEAD", {}, {}, GitBlameCopies::fromFilesAtCreation), {"-C", "-C", "HEAD"}},
        {options("HEAD~3", {}, GitBlameMoves::detected, GitBlameCopies::fromAnyCommit),
         {"-M", "-C", "-C", "-C", "HEAD~3"}},
        {ignoring, {"--ignore-revs-file=.ignore-revs"}},
        {someLines, {"-L5,12", "HEAD"}},
    };
    for (const auto& [blameOptions, gitArgs] : cases) {
      auto args = gitArgs;
      args.insert(args.end(), {"--", path});
      SCOPED_TRACE(args.front());
      std::vector<GitBlameRange> delivered;
      if (seed == 3) setenv("GIT_CONFIG_GLOBAL", hostile.c_str(), 1);
      auto ours = blame(repo, path, blameOptions, &delivered);
      setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
      auto theirs = gitBlame(repo, args);
      ASSERT_FALSE(theirs.empty());
      EXPECT_EQ(expanded(ours), theirs);
      EXPECT_EQ(delivered.size(), ours.ranges.size());
      if (!blameOptions.revision) {
        EXPECT_TRUE(ours.rangeForLine(1)->commit->isUncommitted());
      }
    }
  }
}

TEST(GitBlame, BadInputGivesClassifiedErrors) {
  ScratchRepo repo;
  repo.commitFile("dir/file.txt", "one\ntwo\n", "first");
  using Kind = GitBlameError::Kind;
  auto pastTheEnd = options("HEAD");
  pastTheEnd.lines = GitBlameLineRange{5, 9};
  const std::vector<std::tuple<std::string, GitBlameOptions, Kind>> cases{
      {"missing.txt", options({}), Kind::noSuchPath},
      {"missing.txt", options("HEAD"), Kind::noSuchPath},
      {"dir", options({}), Kind::directory},
      {"dir", options("HEAD"), Kind::noSuchPath},
      {"dir/file.txt", options("nosuchbranch"), Kind::badRevision},
      {"dir/file.txt", pastTheEnd, Kind::badLineRange},
  };
  for (const auto& [path, blameOptions, kind] : cases) {
    SCOPED_TRACE(path + " " + blameOptions.revision.value_or("(working tree)"));
    try {
      blame(repo, path, blameOptions);
      ADD_FAILURE() << "no error";
    } catch (const GitBlameError& error) {
      EXPECT_EQ(error.kind, kind) << error.text;
    }
  }
  EXPECT_THROW(blame(repo, "dir/file.txt", options("--output=x")), TavrikError);
  EXPECT_FALSE(std::filesystem::exists(repo.path() / "x"));
}

TEST(GitBlame, MalformedOutputIsRefused) {
  const std::string id(40, 'a');
  for (const std::string& text : std::vector<std::string>{id + " 1 1\nfilename f\n", id + " 0 1 1\nfilename f\n", "zz 1 1 1\n",
                           id + " 1 1 1\nauthor-time x\nfilename f\n", id + " 1 1 1\nfilename \"f\n"})
    EXPECT_THROW(detail::GitBlameParser().feed(text), TavrikError) << text;
  detail::GitBlameParser parser;
  EXPECT_TRUE(parser.feed(id + " 1 1 1\nauthor A\n").empty());
  EXPECT_THROW(parser.finish(), TavrikError);
}

namespace {

// The blame children running in `directory`, found through /proc.
std::vector<int> blameChildren(const std::filesystem::path& directory) {
  std::vector<int> pids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    auto cwd = std::filesystem::read_symlink(entry.path() / "cwd", error);
    if (error || cwd != directory) continue;
    if (readFile(entry.path() / "cmdline").find("blame") != std::string::npos) pids.push_back(std::stoi(name));
  }
  return pids;
}

} // namespace

TEST(GitBlame, CancelStopsGit) {
  ScratchRepo repo;
  // A long history of a large file: finding copies from any commit in it
  // keeps git busy for long after its first ranges.
  std::string stream, content;
  for (int i = 0; i < 2000; ++i) content += "line " + std::to_string(i) + " with some words to compare\n";
  for (int c = 1; c <= 300; ++c) {
    const size_t at = (c * 7919) % 1900;
    auto lf = content.find('\n', at);
    content.insert(lf + 1, "commit " + std::to_string(c) + " adds this line of text\n");
    stream += "commit refs/heads/main\nmark :" + std::to_string(c) + "\ncommitter A <a@b> " +
              std::to_string(1'600'000'000 + c) + " +0000\ndata 2\nc\n" +
              (c > 1 ? "from :" + std::to_string(c - 1) + "\n" : "") + "M 100644 inline big.txt\ndata " +
              std::to_string(content.size()) + "\n" + content + "\n";
  }
  repo.write(".stream", stream);
  runScript("git fast-import --quiet < .stream && rm .stream && git reset -q --hard main", repo.path());

  auto operation = makeOperation<GitBlameOperation>(
      "big.txt", options("HEAD", {}, GitBlameMoves::detected, GitBlameCopies::fromAnyCommit));
  std::atomic<bool> sawRanges = false;
  operation->onRanges = [&](const std::vector<GitBlameRange>&) { sawRanges = true; };
  auto queue = readerQueue(repo);
  auto future = operation->enqueue(queue);
  const auto directory = std::filesystem::canonical(repo.path());
  while (!sawRanges) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_FALSE(blameChildren(directory).empty());
  const auto started = std::chrono::steady_clock::now();
  operation->cancel();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(blameChildren(directory).empty());
}
