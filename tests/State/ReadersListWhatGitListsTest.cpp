// Every change, ref and head the readers find against git's own listing, byte
// for byte, in the two repositories of the bug reports, with no user
// configuration and under one that sets every option that changes a record.
#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"

#include "Support/Helpers.h"

#include <fstream>
#include <iterator>
#include <map>
#include <set>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// Signs with a fixed block; a verification "succeeds" with a report on
// stderr, which git copies into `show` output when log.showSignature is on.
const char* kGpg = "#!/bin/sh\ncase \"$*\" in *--verify*) echo 'gpg: Good signature' >&2;;\n"
                   "*) echo '[GNUPG:] SIG_CREATED ' >&2; cat >/dev/null\n"
                   "printf -- '-----BEGIN PGP SIGNATURE-----\\n\\nx\\n-----END PGP SIGNATURE-----\\n';; esac\n";

// Names, an author and a message that are not UTF-8, files named like the
// heads, a stash and a signed commit; then branches a\351, main and zzz, tags
// of a blob and a tree, an upstream and a merge stopped on a conflict.
const char* kScenarios[] = {
    R"sh(b=$(printf 'bad\377\376name'); printf 1 > "$b"; for f in HEAD ORIG_HEAD MERGE_HEAD keep; do echo $f > $f; done
git add -A && git commit -q -m one && echo s >> keep && git stash -q && git update-ref ORIG_HEAD "$(printf \
  'tree %s\nauthor J\366rg <j@x> 1700000000 +0100\ncommitter J <j@x> 1700000000 +0100\n\ncaf\351\n' "$(git write-tree)" |
  git hash-object -t commit -w --stdin)"
git -c gpg.program=.git/gpg commit -q -S --allow-empty --author="$(printf 'M\303\274ller <m@x>')" -m "$(printf '\303\257')"
printf 2 > "$b" && printf u > "$(printf 'unt\351')" && git mv keep kept)sh",
    R"sh(a=$(printf 'a\351'); c=$(printf 'conf\351'); echo 1 > f; git add f && git commit -q -m one && git tag v1
git branch "$a" && git branch zzz && git tag -a -m t annotated && git tag blobtag HEAD:f && git tag treetag 'HEAD^{tree}'
git update-ref "refs/remotes/origin/$a" HEAD && git symbolic-ref refs/remotes/origin/HEAD "refs/remotes/origin/$a"
git remote add origin . && git branch -q -u "origin/$a" "$a"
git checkout -q "$a" && echo x > "$c" && git add -A && git commit -q -m x && git checkout -q main
echo y > "$c" && git add -A && git commit -q -m y && ! git merge -q "$a" >/dev/null)sh",
};

// What git's configuration documentation lists that changes the printing of
// status, for-each-ref or show (git runs gpg from the working tree's top).
const char* kHostile[] = {
    "log.decorate full", "log.excludeDecoration refs/heads/*", "log.excludeDecoration HEAD",
    "log.initialDecorationSet all", "log.showSignature true", "log.abbrevCommit true", "log.date relative",
    "log.mailmap true", "log.showRoot false", "log.follow true", "color.ui always", "column.ui always", "status.showUntrackedFiles no", "status.showStash true",
    "status.renames false", "status.branch true", "status.short true", "status.aheadBehind false",
    "status.relativePaths false", "diff.renames false", "diff.noprefix true", "diff.relative true",
    "core.quotePath false", "core.abbrev 7", "format.pretty oneline", "i18n.logOutputEncoding ISO-8859-1",
    "notes.displayRef refs/notes/*", "gpg.program .git/gpg"};

// Reads a global setting through the engine's runner: the hostile one must
// reach the readers' git for the test to mean anything.
struct GlobalDecorate : GitExecOperation<std::string> {
  std::vector<std::string> arguments(GitOperationContext&) override { return {"config", "--global", "log.decorate"}; }
  std::string execute(GitOperationContext& context) override {
    runCommand(context);
    return stdOutBuffer->scanStringToLF().value_or("");
  }
};

class ReadersListWhatGitLists : public ::testing::TestWithParam<std::tuple<int, bool>> {};

} // namespace

TEST_P(ReadersListWhatGitLists, EveryChangeRefAndHead) {
  auto [scenario, hostile] = GetParam();
  ScratchRepo repo;
  repo.write(".git/gpg", kGpg);
  std::filesystem::permissions(repo.path() / ".git/gpg", std::filesystem::perms::owner_all);
  ASSERT_EQ(runProgram({"/bin/sh", "-ec", kScenarios[scenario]}, repo.path()).status, 0);
  const auto config = (repo.path() / ".git/hostile").string();
  for (std::string setting : kHostile)
    repo.git({"config", "-f", config, "--add", setting.substr(0, setting.find(' ')), setting.substr(setting.find(' ') + 1)});
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  if (hostile) setenv("GIT_CONFIG_GLOBAL", config.c_str(), 1);  // until the next scratch repository resets it
  auto decorate = runOn(queue, makeOperation<GlobalDecorate>());
  auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>(false));
  const GitRefList refs = *runOn(queue, makeOperation<GitViewRefsOperation>());
  auto heads = runOn(queue, makeOperation<GitViewHeadOperation>());
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);  // git's own listings, below, read no user configuration
  EXPECT_EQ(decorate, hostile ? "full" : "");

  std::set<std::string> changes, listed;  // "XY path", then a rename's source after "<-", as porcelain v1 has them
  auto records = split(repo.git({"status", "-z", "--porcelain"}), '\0');
  for (size_t i = 0; i < records.size(); ++i) {
    std::string change = records[i];
    changes.insert(change + (change[0] == 'R' ? " <- " + records[++i] : ""));
  }
  auto letter = [](GitStatus s) { return s == GitStatus::unmodified ? ' ' : rawValue(s); };
  for (const auto& e : status->entries)
    listed.insert(std::string{letter(e.index), letter(e.worktree), ' '} + *e.newPath +
                  (e.isRenamed() ? " <- " + *e.oldPath : ""));
  EXPECT_EQ(listed, changes);

  std::vector<std::string> read;
  for (const auto& r : refs.all) {
    using std::chrono::seconds;
    auto date = r.creatorDate ? std::to_string(floor<seconds>(r.creatorDate->date.time_since_epoch()).count()) : "";
    read.push_back(r.name + " " + r.target->string() + " " + (r.commit == r.target ? "" : r.commit->string()) + " " +
                   r.symbolicTarget.value_or("") + " " + r.upstreamName.value_or("") + " " + (r.isHead ? "*" : " ") +
                   " " + date);
  }
  EXPECT_EQ(read, split(repo.git({"for-each-ref", "--format=%(refname) %(objectname) %(*objectname) %(symref) "
                                                  "%(upstream) %(HEAD) %(creatordate:unix)"}), '\n'));

  EXPECT_EQ(*heads.head.refname + "\n", repo.git({"symbolic-ref", "--short", "HEAD"}));
  for (const auto& [file, head] : std::map<std::string, GitHead>{
           {"HEAD", heads.head}, {"ORIG_HEAD", heads.origHead}, {"MERGE_HEAD", heads.mergeHead}}) {
    auto git = repo.tryGit({"show", "--no-patch", "--format=%H %an %ae%x00%B", file, "--"});
    auto author = head.lastAuthor.value_or(GitSignature{});
    EXPECT_EQ(head.commit ? head.commit->string() + " " + author.name + " " + author.email + '\0' +
                                head.lastMessage.value_or("") + "\n" : "",
              git.status == 0 ? git.out : "") << file;
  }
  std::ifstream merge(repo.path() / ".git/MERGE_MSG", std::ios::binary);
  EXPECT_EQ(heads.stateFiles.state, merge ? GitState::merge : GitState::none);
  EXPECT_EQ(heads.stateFiles.editMessage(),
            merge ? std::optional(std::string(std::istreambuf_iterator<char>(merge), {})) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Repositories, ReadersListWhatGitLists,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Bool()), [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Refs" : "Names") +
                                  (std::get<1>(info.param) ? "Hostile" : "Plain");
                         });
