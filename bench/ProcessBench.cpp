// Launch overhead of BufferedProcess against a bare posix_spawn + waitpid of
// the same program, and GitBuffer's NUL-field scan throughput.
#include "tavrik/Process/BufferedProcess.h"
#include "tavrik/Process/GitBuffer.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
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

void BM_BufferedProcessTrue(benchmark::State& state) {
  tavrik::BufferedProcess process(tavrik::Url::fileURL(kTrue));
  for (auto _ : state) {
    auto task = process.launch();
    benchmark::DoNotOptimize(task->wait());
  }
}
BENCHMARK(BM_BufferedProcessTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

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
