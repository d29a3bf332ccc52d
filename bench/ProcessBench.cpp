// Launch overhead of BufferedProcess against a bare posix_spawn + waitpid of
// the same program, GitBuffer's NUL-field scan throughput, and one askpass
// round trip through the credential bridge.
#include "tavrik/Process/BufferedProcess.h"
#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Process/GitSocketAuth.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <vector>
#include <unistd.h>
#include <sys/wait.h>

extern char** environ;

namespace {

constexpr const char* kTrue = "/bin/true";

void BM_BarePosixSpawnTrue(benchmark::State& state) {
  char* argv[] = {const_cast<char*>(kTrue), nullptr};
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, kTrue, nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    int status;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_BarePosixSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same spawn set-up as BufferedProcess (pipes, /dev/null input, closed
// descriptors, signal defaults) without drains: separates the cost of the
// child's set-up from the cost of draining on background workers.
void BM_BarePosixSpawnWithPipesTrue(benchmark::State& state) {
  char* argv[] = {const_cast<char*>(kTrue), nullptr};
  for (auto _ : state) {
    int out[2], err[2];
    pipe2(out, O_CLOEXEC);
    pipe2(err, O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGTTIN, SIGTTOU}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int rc = posix_spawn(&pid, kTrue, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    char buf[4096];
    while (read(out[0], buf, sizeof buf) > 0) {
    }
    while (read(err[0], buf, sizeof buf) > 0) {
    }
    close(out[0]);
    close(err[0]);
    int status;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_BarePosixSpawnWithPipesTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_BufferedProcessTrue(benchmark::State& state) {
  tavrik::BufferedProcess process(tavrik::Url::fileURL(kTrue));
  for (auto _ : state) {
    auto task = process.launch();
    benchmark::DoNotOptimize(task->wait());
  }
}
BENCHMARK(BM_BufferedProcessTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

// What one git prompt costs with the bridge: the companion spawned as git
// spawns it, its connection, token and prompt, the prompter's answer, and
// the answer read from its standard output.
void BM_AskpassRoundTrip(benchmark::State& state) {
  auto auth = tavrik::GitSocketAuth::create([](const std::string&) { return std::optional<std::string>("secret"); });
  auth->beginSession(std::nullopt);
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e)
    if (!std::string_view(*e).starts_with("TAVRIK_ASKPASS_")) variables.emplace_back(*e);
  for (const auto& [name, value] : auth->credentialEnvironment()) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string companion = std::string(TAVRIK_TEST_PREFIX) + "/bin/askpass";
  std::string prompt = "Password for 'https://alice@example.invalid': ";
  char* argv[] = {companion.data(), prompt.data(), nullptr};
  for (auto _ : state) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string answer;
    char buf[256];
    for (ssize_t n; rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (rc == 0) waitpid(pid, &status, 0);
    if (rc != 0 || status != 0 || answer != "secret\n") {
      state.SkipWithError("the companion did not answer");
      break;
    }
  }
  auth->endSession();
}
BENCHMARK(BM_AskpassRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Records shaped like "status -z" output: a short header and a path.
std::string nulSeparatedRecords(size_t total) {
  std::string data;
  data.reserve(total + 256);
  uint64_t x = 88172645463325252ull;
  while (data.size() < total) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data += "1 .M N... 100644 100644 100644 ";
    data.append(20 + x % 80, static_cast<char>('a' + x % 26));
    data += '\0';
  }
  return data;
}

void BM_GitBufferScanToNull(benchmark::State& state) {
  tavrik::GitBuffer buffer(nulSeparatedRecords(100u << 20));
  size_t records = 0;
  for (auto _ : state) {
    buffer.resetOffset();
    while (auto field = buffer.scanToNull()) {
      benchmark::DoNotOptimize(field->data());
      ++records;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.data().size()));
  state.counters["records"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GitBufferScanToNull)->Unit(benchmark::kMillisecond);

void BM_GitBufferScanToEOL(benchmark::State& state) {
  std::string data = nulSeparatedRecords(100u << 20);
  for (char& c : data)
    if (c == '\0') c = '\n';
  tavrik::GitBuffer buffer(std::move(data));
  for (auto _ : state) {
    buffer.resetOffset();
    while (auto field = buffer.scanToEOL()) benchmark::DoNotOptimize(field->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.data().size()));
}
BENCHMARK(BM_GitBufferScanToEOL)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
