// What the editor bridge adds to one editor call: git's 1,000-line
// instruction list handed through the companion program and the socket
// (spawn, connect, token, rewrite by a plan, atomic replace, answer) against
// the same rewrite and replace done in process.
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/Util/FileSystem.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using namespace tavrik;
namespace fs = std::filesystem;

struct Fixture {
  fs::path root;
  std::string todoPath;
  std::string list;
  GitRebaseRequest request;

  Fixture() {
    char folder[] = "/tmp/tavrik-editor-bench-XXXXXX";
    root = ::mkdtemp(folder);
    fs::create_directories(root / ".git/rebase-merge");
    todoPath = (root / ".git/rebase-merge/git-rebase-todo").string();
    char hex[41];
    for (int i = 0; i < 1000; ++i) {
      std::snprintf(hex, sizeof hex, "%040x", i * 7919 + 1);
      list += std::string("pick ") + std::string(hex, 12) + " commit number " + std::to_string(i) + "\n";
      // Every tenth commit is reworded, every fiftieth moved above the last.
      if (i % 10 == 0) request.actions.push_back({GitRebaseAction::Verb::reword, *Oid::parse(hex)});
      if (i % 50 == 5) request.actions.push_back({GitRebaseAction::Verb::move, *Oid::parse(hex)});
      if (i == 999) request.move = GitRebaseRequest::Move{*Oid::parse(hex), GitRebaseRequest::MovePosition::above};
    }
    list += "\n# Rebase 1..1000 onto 0 (1000 commands)\n# Commands:\n# p, pick <commit> = use commit\n";
  }
  ~Fixture() { fs::remove_all(root); }
};

class InProcessEditor : public GitEditor {
public:
  explicit InProcessEditor(GitRebaseRequest request) : request_(std::move(request)) {}
  std::map<std::string, std::string> editorEnvironment() const override { return {}; }
  std::optional<GitRebaseRequest> rebaseRequest() override { return request_; }
  void finishEditing() override {}

private:
  GitRebaseRequest request_;
};

// `untouched`: a file of the git directory the bridge leaves alone, so only
// the spawn and the socket round trip remain.
void editThroughBridge(benchmark::State& state, bool untouched) {
  Fixture fixture;
  std::string target = untouched ? (fixture.root / ".git/description").string() : fixture.todoPath;
  if (untouched) writeFileAtomically(target, "x\n");
  auto editor = GitSocketEditor::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(fixture.root.string(), true), false),
                                        fixture.request);
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) variables.emplace_back(*e);
  for (const auto& [name, value] : editor->editorEnvironment()) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string companion = std::string(TAVRIK_TEST_PREFIX) + "/bin/editor";
  std::vector<char*> argv{companion.data(), target.data(), nullptr};
  for (auto _ : state) {
    state.PauseTiming();
    writeFileAtomically(fixture.todoPath, fixture.list);
    state.ResumeTiming();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) std::abort();
    int status = 0;
    waitpid(pid, &status, 0);
    if (status != 0) return state.SkipWithError("the companion failed");
  }
}
void BM_EditThroughBridge(benchmark::State& state) { editThroughBridge(state, false); }
BENCHMARK(BM_EditThroughBridge)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_BridgeRoundTrip(benchmark::State& state) { editThroughBridge(state, true); }
BENCHMARK(BM_BridgeRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// For scale: starting any program at all.
void BM_SpawnTrue(benchmark::State& state) {
  std::string program = "/bin/true";
  std::vector<char*> argv{program.data(), nullptr};
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) std::abort();
    int status = 0;
    waitpid(pid, &status, 0);
  }
}
BENCHMARK(BM_SpawnTrue)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_EditInProcess(benchmark::State& state) {
  Fixture fixture;
  InProcessEditor editor(fixture.request);
  for (auto _ : state) {
    state.PauseTiming();
    writeFileAtomically(fixture.todoPath, fixture.list);
    state.ResumeTiming();
    std::string list = readFileIfExists(fixture.todoPath).value_or("");
    editor.processEditList(list);
    writeFileAtomically(fixture.todoPath, list + "\n");
  }
}
BENCHMARK(BM_EditInProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

} // namespace

BENCHMARK_MAIN();
