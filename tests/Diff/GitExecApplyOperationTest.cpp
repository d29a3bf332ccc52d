#include "tavrik/Diff/GitExecApplyOperation.h"

#include "tavrik/Diff/GitDiffTransformer.h"
#include "tavrik/Diff/GitExecDiffOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Util/StringUtilities.h"

#include <random>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

enum class Mode { stage, unstage, discard };

struct Case {
  const char* name;
  std::vector<std::string> paths;
  const char* script; // from an empty repository: commits a base, leaves changes in the working tree
};

// Lines numbered 1..n, each "line N\n".
const char* kNumbered = R"(i=1; while [ $i -le 60 ]; do echo "line $i"; i=$((i+1)); done > f)";

const Case kCases[] = {
    {"hunks", {"f"}, R"(NUMBERED; git add f; git commit -qm base
sed -i -e '5s/.*/five/' -e '30,31d' -e '55a\
new a\
new b\
new c' f)"},
    {"oldWithoutNewline", {"f"}, R"(printf 'a\nb\nc' > f; git add f; git commit -qm base; printf 'a\nB\nc\nd\n' > f)"},
    {"newWithoutNewline", {"f"}, R"(printf 'a\nb\nc\n' > f; git add f; git commit -qm base; printf 'a\nB\nc' > f)"},
    {"neitherWithNewline", {"f"}, R"(printf 'a\nb' > f; git add f; git commit -qm base; printf 'a\nc\nd' > f)"},
    {"lastLineGainsNewline", {"f"}, R"(printf 'x\ny' > f; git add f; git commit -qm base; printf 'x\ny\nz\n' > f)"},
    {"crlf", {"f"}, R"(printf 'a\r\nb\r\nc\r\n' > f; git add f; git commit -qm base; printf 'a\r\nB\r\nc\r\nd\r\n' > f)"},
    {"notUTF8", {"f"}, R"(printf 'caf\351\nx\n' > f; git add f; git commit -qm base; printf 'CAF\311\nx\ny\377\n' > f)"},
    {"deleted", {"f"}, R"(printf 'a\nb\nc\n' > f; git add f; git commit -qm base; rm f)"},
    {"added", {"f"}, R"(echo base > g; git add g; git commit -qm base; printf 'a\nb\nc' > f)"},
    {"renamed", {"old", "new"}, R"(NUMBERED; mv f old; git add old; git commit -qm base; git mv old new
sed -i -e '2s/.*/two/' -e '40d' new)"},
};

struct Line {
  std::string text;
  bool eol = true;
};

std::vector<Line> linesOf(const std::string& content) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) {
      lines.push_back({content.substr(pos), false});
      break;
    }
    lines.push_back({content.substr(pos, end - pos), true});
    pos = end + 1;
  }
  return lines;
}

// What applying the selection by hand gives: the base side (the index or
// working tree before the change is taken), each selected change taken,
// the rest left; a line that is followed by another has its newline.
std::string expectedContent(const std::string& base, const GitDiff& diff, const std::set<size_t>& selection,
                            bool reverse) {
  auto baseLines = linesOf(base);
  const auto baseKind = reverse ? GitDiffLineType::addition : GitDiffLineType::deletion;
  const auto otherKind = reverse ? GitDiffLineType::deletion : GitDiffLineType::addition;
  std::vector<Line> out;
  size_t cursor = 0;
  for (const auto& hunk : diff.hunks) {
    int32_t baseCount = 0;
    for (size_t i = hunk.linesBegin(); i < hunk.linesEnd(); ++i)
      baseCount += diff.lines[i].type == GitDiffLineType::context || diff.lines[i].type == baseKind;
    const int32_t start = reverse ? hunk.newStart : hunk.oldStart;
    const size_t before = static_cast<size_t>(baseCount > 0 ? start - 1 : start);
    for (; cursor < before && cursor < baseLines.size(); ++cursor) out.push_back(baseLines[cursor]);
    for (size_t i = hunk.linesBegin(); i < hunk.linesEnd(); ++i) {
      const auto& line = diff.lines[i];
      const bool selected = selection.count(i) > 0;
      if (line.type == GitDiffLineType::context || line.type == baseKind) {
        if (cursor < baseLines.size() && !(line.type == baseKind && selected)) out.push_back(baseLines[cursor]);
        ++cursor;
      } else if (line.type == otherKind && selected) {
        const bool eol = !(i + 1 < diff.lines.size() && diff.lines[i + 1].type == GitDiffLineType::noNewlineAtEOF);
        out.push_back({std::string(line.string().substr(0, line.string().size() - 1)), eol});
      }
    }
  }
  for (; cursor < baseLines.size(); ++cursor) out.push_back(baseLines[cursor]);
  std::string text;
  for (size_t k = 0; k < out.size(); ++k) text += out[k].text + (k + 1 < out.size() || out[k].eol ? "\n" : "");
  return text;
}

std::set<size_t> allSelectable(const GitDiff& diff) {
  std::set<size_t> all;
  for (size_t h = 0; h < diff.hunks.size(); ++h) all.merge(diff.selectableHunkLineIndexes(h));
  return all;
}

class Staging {
public:
  Staging(const Case& c, Mode mode, std::optional<int> context) : c_(c), mode_(mode), context_(context) {
    std::string script = c.script;
    if (auto at = script.find("NUMBERED"); at != std::string::npos) script.replace(at, 8, kNumbered);
    runScript(script, repo_.path());
    if (mode == Mode::unstage) repo_.git({"add", "-A"});
    queue_ = readerQueue(repo_);
  }

  const GitDir& repo() const { return repo_; }
  bool cached() const { return mode_ != Mode::discard; }
  bool reverse() const { return mode_ != Mode::stage; }

  // The patches of the case's files, as the client reads them.
  std::vector<std::shared_ptr<GitDiff>> patches() {
    std::vector<std::shared_ptr<GitDiff>> found;
    auto list = runOn(queue_, makeOperation<GitExecDiffOperation>({.cached = mode_ == Mode::unstage}));
    for (const auto& listed : list.diffs) {
      auto patch = runOn(queue_, makeOperation<GitExecDiffOperation>(*listed, context_));
      for (auto& diff : patch.diffs)
        if (!diff->hunks.empty()) found.push_back(diff);
    }
    return found;
  }

  void apply(const std::shared_ptr<GitDiff>& diff, std::set<size_t> selection) {
    runOn(queue_, makeOperation<GitExecApplyOperation>({.diff = diff, .cached = cached(), .reverse = reverse(),
                                                        .keepLines = std::move(selection)}));
  }

  // The side the selection changes, before or after.
  std::string content(const std::string& path) const {
    if (mode_ == Mode::discard) return readFile(repo_.path() / path);
    auto shown = repo_.tryGit({"show", ":" + path});
    return shown.status == 0 ? shown.out : "";
  }

  std::string tree() const { return trimmed(repo_.git({"write-tree"})); }
  std::string treeAfterAdd() const {
    return trimmed(runScript("cp .git/index .git/expected && GIT_INDEX_FILE=.git/expected git add -A && "
                             "GIT_INDEX_FILE=.git/expected git write-tree",
                             repo_.path()));
  }

private:
  const Case& c_;
  ScratchRepo repo_;
  Mode mode_;
  std::optional<int> context_;
  std::shared_ptr<GitQueue> queue_;
};

std::string describe(const std::set<size_t>& s) {
  std::string text;
  for (size_t i : s) text += std::to_string(i) + " ";
  return text;
}

class StagingLines : public ::testing::TestWithParam<size_t> {};

} // namespace

// For every case, staging, unstaging or discarding: a random selection gives
// what taking those changes by hand gives, and taking the rest afterwards
// ends where `git add`, the original index or `git checkout --` ends.
TEST_P(StagingLines, SelectionThenRestMatchesGit) {
  const Case& c = kCases[GetParam()];
  for (Mode mode : {Mode::stage, Mode::unstage, Mode::discard}) {
    for (std::optional<int> context : {std::optional<int>(), std::optional<int>(0)}) {
      for (unsigned seed = 0; seed < 3; ++seed) {
        Staging staging(c, mode, context);
        SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(int(mode)) + " context " +
                     (context ? "0" : "default") + " seed " + std::to_string(seed));
        const std::string expectedTree = mode == Mode::stage     ? staging.treeAfterAdd()
                                         : mode == Mode::unstage ? trimmed(staging.repo().git({"rev-parse", "HEAD^{tree}"}))
                                                                 : "";
        auto patches = staging.patches();
        if (patches.empty()) break; // nothing of this kind to take (an untracked file)
        ASSERT_EQ(patches.size(), 1u);
        auto diff = patches[0];
        auto all = allSelectable(*diff);
        std::set<size_t> selection = all; // seed 0 takes everything at once
        if (seed > 0) {
          std::mt19937 random(seed * 7919 + GetParam());
          selection.clear();
          for (size_t i : all)
            if (random() % 2) selection.insert(i);
          if (selection.empty()) selection.insert(*all.begin());
        }
        SCOPED_TRACE("selection " + describe(selection) + "of\n" + diff->formatPatch());

        const std::string path = diff->newFile.path ? *diff->newFile.path : diff->oldFile.path.value_or("");
        const std::string base = staging.content(staging.reverse() ? path : diff->oldFile.path.value_or(path));
        ASSERT_NO_THROW(staging.apply(diff, selection))
            << GitDiffTransformer(diff, staging.reverse(), selection).transformedDiff()->formatPatch();
        if (selection != all) {
          EXPECT_EQ(staging.content(path), expectedContent(base, *diff, selection, staging.reverse()));
        }

        for (int round = 0; round < 3; ++round) {
          auto rest = staging.patches();
          if (rest.empty()) break;
          for (const auto& diff : rest) staging.apply(diff, allSelectable(*diff));
        }
        if (mode == Mode::discard) {
          EXPECT_TRUE(staging.repo().git({"diff", "--name-only"}).empty());
        } else {
          EXPECT_EQ(staging.tree(), expectedTree);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StagingLines, ::testing::Range(size_t(0), std::size(kCases)),
                         [](const auto& info) { return std::string(kCases[info.param].name); });

TEST(GitExecApplyOperation, RefusesASelectionWithoutChanges) {
  Staging staging(kCases[1], Mode::stage, std::nullopt);
  auto diff = staging.patches().at(0);
  EXPECT_THROW(staging.apply(diff, {0, 1, 9999}), TavrikError);
  EXPECT_EQ(staging.tree(), trimmed(staging.repo().git({"rev-parse", "HEAD^{tree}"})));
}
