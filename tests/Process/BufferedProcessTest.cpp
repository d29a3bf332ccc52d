#include "tavrik/Process/BufferedProcess.h"

#include "Support/ScratchRepo.h"
#include "tavrik/Queue/TavrikError.h"
#include "tavrik/Util/Uuid.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

using tavrik::BufferedProcess;
using tavrik::GitBuffer;
using tavrik::Url;

namespace {

// The test binary doubles as the child program: with this variable set it
// runs one of the modes below instead of the tests.
constexpr const char* kChildMode = "TAVRIK_PROCESS_TEST_CHILD";
constexpr const char* kChildSize = "TAVRIK_PROCESS_TEST_SIZE";

// Deterministic bytes, different for each stream: a block of pseudo-random
// bytes whose length is prime, so that a swapped, dropped or repeated 4096-byte
// chunk shows, repeated from a stream-dependent start.
std::string pattern(uint64_t stream, size_t size) {
  static const std::string block = [] {
    std::string s(1000003, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (char& c : s) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      c = static_cast<char>(x >> 24);
    }
    return s;
  }();
  std::string s;
  s.reserve(size);
  size_t at = (stream * 333331) % block.size();
  while (s.size() < size) {
    size_t n = std::min(block.size() - at, size - s.size());
    s.append(block, at, n);
    at = 0;
  }
  return s;
}

uint64_t fnv1a(std::string_view data) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : data) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

void writeFully(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) _exit(90);
    p += w;
    n -= static_cast<size_t>(w);
  }
}

int runChild(std::string_view mode) {
  size_t size = 0;
  if (const char* s = std::getenv(kChildSize)) size = std::strtoull(s, nullptr, 10);
  if (mode == "stdout") {
    auto out = pattern(1, size);
    writeFully(1, out.data(), out.size());
    return 0;
  }
  if (mode == "interleave") {
    // Uneven chunk sizes so that both pipes fill up at different moments.
    auto out = pattern(1, size), err = pattern(2, size);
    size_t o = 0, e = 0;
    while (o < out.size() || e < err.size()) {
      size_t no = std::min<size_t>(70001, out.size() - o), ne = std::min<size_t>(30011, err.size() - e);
      writeFully(1, out.data() + o, no);
      writeFully(2, err.data() + e, ne);
      o += no;
      e += ne;
    }
    return 0;
  }
  if (mode == "digest") {
    std::string in;
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      in.append(buf, static_cast<size_t>(n));
    }
    auto line = std::to_string(in.size()) + " " + std::to_string(fnv1a(in)) + "\n";
    writeFully(1, line.data(), line.size());
    return 0;
  }
  return 99;
}

[[maybe_unused]] const bool kRanAsChild = [] {
  if (const char* mode = std::getenv(kChildMode)) _exit(runChild(mode));
  return false;
}();

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

BufferedProcess selfChild(const std::string& mode, size_t size = 0) {
  BufferedProcess process(Url::fileURL(selfPath()));
  process.environment = std::map<std::string, std::string>{{kChildMode, mode}, {kChildSize, std::to_string(size)}};
  return process;
}

BufferedProcess program(const std::string& path, std::vector<std::string> arguments) {
  BufferedProcess process(Url::fileURL(path));
  process.arguments = std::move(arguments);
  return process;
}

size_t openDescriptorCount() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

// Records what a stream's callback received; read only after wait().
struct Recorder {
  std::mutex mutex;
  std::vector<std::optional<std::string>> chunks;
  BufferedProcess::OutputBlock block() {
    return [this](std::optional<std::string_view> chunk) {
      std::lock_guard lock(mutex);
      chunks.push_back(chunk ? std::optional<std::string>(*chunk) : std::nullopt);
    };
  }
  size_t endCount() {
    std::lock_guard lock(mutex);
    return static_cast<size_t>(std::count(chunks.begin(), chunks.end(), std::nullopt));
  }
  std::string text() {
    std::lock_guard lock(mutex);
    std::string s;
    for (auto& c : chunks)
      if (c) s += *c;
    return s;
  }
};

// Captures log lines for the lifetime of the object.
class LogCapture {
public:
  LogCapture() {
    tavrik::setLogSink([this](tavrik::LogLevel level, std::string_view category, std::string_view message) {
      std::lock_guard lock(mutex_);
      lines_.push_back({level, std::string(category), std::string(message)});
    });
  }
  ~LogCapture() { tavrik::setLogSink(nullptr); }
  struct Line {
    tavrik::LogLevel level;
    std::string category;
    std::string message;
  };
  std::vector<Line> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at byte " << i;
}

} // namespace

TEST(BufferedProcess, SilentChildEndsBothStreamsOnce) {
  Recorder out, err;
  auto task = program("/bin/true", {}).launch(false, std::nullopt, nullptr, nullptr, out.block(), err.block());
  EXPECT_EQ(task->wait(), 0);
  for (auto* buffer : {task->standardOutputBuffer().get(), task->standardErrorBuffer().get()}) {
    EXPECT_TRUE(buffer->data().empty());
    EXPECT_TRUE(buffer->isFinalized());
  }
  ASSERT_EQ(out.chunks.size(), 1u);
  EXPECT_EQ(out.chunks[0], std::nullopt);
  ASSERT_EQ(err.chunks.size(), 1u);
  EXPECT_EQ(err.chunks[0], std::nullopt);
  EXPECT_FALSE(task->outputTimedOut());
}

TEST(BufferedProcess, LongOutputArrivesInBoundedChunksInOrder) {
  auto expected = pattern(1, 200000);
  auto buffer = std::make_shared<GitBuffer>();
  std::vector<size_t> sizes;
  bool bufferHeldChunk = true;
  size_t total = 0;
  auto task = selfChild("stdout", expected.size())
                  .launch(false, "long-output", buffer, nullptr, [&](std::optional<std::string_view> chunk) {
                    if (!chunk) {
                      bufferHeldChunk = bufferHeldChunk && buffer->isFinalized();
                      return;
                    }
                    sizes.push_back(chunk->size());
                    total += chunk->size();
                    // The callback comes after the buffer took the chunk.
                    bufferHeldChunk = bufferHeldChunk && buffer->data().size() == total &&
                                      buffer->data().compare(total - chunk->size(), chunk->size(), *chunk) == 0;
                  });
  EXPECT_EQ(task->wait(), 0);
  EXPECT_EQ(task->standardOutputBuffer(), buffer);
  EXPECT_TRUE(sameBytes(buffer->data(), expected));
  EXPECT_TRUE(bufferHeldChunk);
  EXPECT_GE(sizes.size(), expected.size() / 4096);
  for (size_t size : sizes) EXPECT_LE(size, 4096u);
}

TEST(BufferedProcess, DrainsBothStreamsConcurrentlyWithoutDeadlock) {
  constexpr size_t kSize = 50u << 20;
  auto task = selfChild("interleave", kSize).launch();
  EXPECT_EQ(task->wait(), 0);
  EXPECT_FALSE(task->outputTimedOut());
  EXPECT_TRUE(sameBytes(task->standardOutputBuffer()->data(), pattern(1, kSize)));
  EXPECT_TRUE(sameBytes(task->standardErrorBuffer()->data(), pattern(2, kSize)));
}

TEST(BufferedProcess, StandardInputReachesTheChildWhole) {
  auto input = pattern(3, 10u << 20);
  auto task = selfChild("digest").launch(true);
  ASSERT_NE(task->standardInputFile(), nullptr);
  EXPECT_EQ(task->standardInputFile()->writeAll(input), input.size());
  task->standardInputFile()->close();
  EXPECT_EQ(task->wait(), 0);
  EXPECT_EQ(task->standardOutputBuffer()->data(), std::to_string(input.size()) + " " + std::to_string(fnv1a(input)) + "\n");
}

TEST(BufferedProcess, WithoutInputPipeTheChildReadsDevNull) {
  auto task = program("/bin/readlink", {"/proc/self/fd/0"}).launch();
  EXPECT_EQ(task->wait(), 0);
  EXPECT_EQ(task->standardOutputBuffer()->data(), "/dev/null\n");
  EXPECT_EQ(task->standardInputFile(), nullptr);
}

TEST(BufferedProcess, ChildInheritsNoOtherDescriptor) {
  // Neither a descriptor opened without close-on-exec by other code, nor the
  // pipes of another launch that is running at the same time.
  int stray = fcntl(STDERR_FILENO, F_DUPFD, 50);
  ASSERT_GE(stray, 50);
  auto other = program("/bin/sleep", {"5"}).launch(true);
  auto task = program("/bin/sh", {"-c", "for fd in 3 4 5 6 7 8 9 " + std::to_string(stray) +
                                            "; do [ -e /proc/$$/fd/$fd ] && echo open $fd; done; true"})
                  .launch();
  EXPECT_EQ(task->wait(), 0);
  EXPECT_EQ(task->standardOutputBuffer()->data(), "");
  other->interrupt();
  other->wait();
  ::close(stray);
}

TEST(BufferedProcess, ExitStatusAndSignal) {
  EXPECT_EQ(program("/bin/sh", {"-c", "exit 3"}).launch()->wait(), 3);
  EXPECT_EQ(program("/bin/sh", {"-c", "kill -TERM $$"}).launch()->wait(), SIGTERM);
  auto task = program("/bin/sh", {"-c", "echo out; echo err >&2; exit 1"}).launch();
  EXPECT_EQ(task->wait(), 1);
  EXPECT_EQ(task->wait(), 1);
  EXPECT_EQ(task->standardOutputBuffer()->data(), "out\n");
  EXPECT_EQ(task->standardErrorBuffer()->data(), "err\n");
}

TEST(BufferedProcess, InterruptSendsSIGINT) {
  auto task = program("/bin/sleep", {"30"}).launch();
  auto start = std::chrono::steady_clock::now();
  task->interrupt();
  EXPECT_EQ(task->wait(), SIGINT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  task->interrupt();  // already reaped: nothing to signal
}

TEST(BufferedProcess, InterruptFromAnotherThreadWhileWaiting) {
  auto task = program("/bin/sleep", {"30"}).launch();
  std::thread interrupter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    task->interrupt();
  });
  EXPECT_EQ(task->wait(), SIGINT);
  interrupter.join();
}

TEST(BufferedProcess, MissingExecutableThrowsLaunchError) {
  size_t before = openDescriptorCount();
  auto process = program("/nonexistent/tavrik-no-such-program", {});
  try {
    process.launch(true);
    FAIL() << "launching a missing program did not throw";
  } catch (const tavrik::TavrikError& error) {
    EXPECT_EQ(error.errnoValue, ENOENT);
    EXPECT_EQ(error.errorDescription, std::string(strerror(ENOENT)));
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(BufferedProcess, WorkingDirectoryIsHonoured) {
  tavrik::testing::TempDir dir;
  auto process = program("/bin/pwd", {"-P"});
  process.currentDirectoryURL = Url::fileURL(dir.path().string(), true);
  auto task = process.launch();
  EXPECT_EQ(task->wait(), 0);
  EXPECT_EQ(task->standardOutputBuffer()->data(), dir.path().string() + "\n");

  process.currentDirectoryURL = Url::fileURL(dir.path().string() + "/missing", true);
  EXPECT_THROW(process.launch(), tavrik::TavrikError);
}

TEST(BufferedProcess, NonFileWorkingDirectoryIsIgnored) {
  auto process = program("/bin/pwd", {"-P"});
  process.currentDirectoryURL = Url::parse("https://example.com/tmp");
  ASSERT_TRUE(process.currentDirectoryURL);
  auto task = process.launch();
  EXPECT_EQ(task->wait(), 0);
  EXPECT_EQ(task->standardOutputBuffer()->data(), std::filesystem::canonical(".").string() + "\n");
}

TEST(BufferedProcess, EnvironmentIsReplacedWholeOrInherited) {
  auto process = program("/usr/bin/env", {});
  process.environment = std::map<std::string, std::string>{{"A", "1"}, {"B", "two words"}};
  auto task = process.launch();
  EXPECT_EQ(task->wait(), 0);
  EXPECT_EQ(task->standardOutputBuffer()->data(), "A=1\nB=two words\n");

  setenv("TAVRIK_INHERITED_PROBE", "yes", 1);
  auto inherited = program("/usr/bin/env", {}).launch();
  EXPECT_EQ(inherited->wait(), 0);
  EXPECT_NE(inherited->standardOutputBuffer()->data().find("\nTAVRIK_INHERITED_PROBE=yes\n"), std::string::npos);
  unsetenv("TAVRIK_INHERITED_PROBE");
}

TEST(BufferedProcess, DiagnosticIdentifierDefaultsToUuid) {
  auto process = program("/bin/true", {});
  auto named = process.launch(false, "status-42");
  EXPECT_EQ(named->diagnosticIdentifier(), "status-42");
  auto anonymous = process.launch();
  EXPECT_TRUE(tavrik::Uuid::parse(anonymous->diagnosticIdentifier()).has_value())
      << anonymous->diagnosticIdentifier();
  EXPECT_NE(process.launch()->diagnosticIdentifier(), anonymous->diagnosticIdentifier());
  named->wait();
  anonymous->wait();
}

TEST(BufferedProcess, LogsTheLaunchLineAtDebugLevel) {
  LogCapture capture;
  tavrik::setDebugLoggingEnabled(true);
  auto process = program("/bin/echo", {"a", "b c"});
  process.log = tavrik::Log::category("process");
  process.launch()->wait();
  program("/bin/echo", {"silent"}).launch()->wait();  // the disabled log says nothing
  tavrik::setDebugLoggingEnabled(false);
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, tavrik::LogLevel::debug);
  EXPECT_EQ(lines[0].category, "process");
  EXPECT_EQ(lines[0].message, "echo a b c");
}

TEST(BufferedProcess, LaunchesLeaveNoDescriptorBehind) {
  auto process = program("/bin/true", {});
  process.launch()->wait();  // warm up the drain workers
  size_t before = openDescriptorCount();
  for (int i = 0; i < 2000; ++i) {
    auto task = process.launch(i % 2 == 0);
    ASSERT_EQ(task->wait(), 0);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(BufferedProcess, ChildOfDroppedTaskIsReaped) {
  pid_t pid;
  {
    auto task = program("/bin/true", {}).launch();
    pid = task->processIdentifier();
  }
  // A zombie keeps its /proc entry until someone reaps it.
  auto procEntry = "/proc/" + std::to_string(pid);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::filesystem::exists(procEntry) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(std::filesystem::exists(procEntry));
}

// A grandchild keeps both pipes open after the child exits, and writes again
// after wait() has given up: the caller's buffers must not change any more.
TEST(BufferedProcess, WaitGivesUpOnOutputHeldByGrandchild) {
  LogCapture capture;
  size_t descriptorsBefore = openDescriptorCount();
  Recorder out;
  auto start = std::chrono::steady_clock::now();
  auto task = program("/bin/sh", {"-c", "echo early; (sleep 3.5; echo late; echo late >&2) &"})
                  .launch(false, "grandchild-op", nullptr, nullptr, out.block());
  EXPECT_EQ(task->wait(), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_LT(waited, std::chrono::milliseconds(3200));  // well before the grandchild ends
  EXPECT_TRUE(task->outputTimedOut());

  auto buffer = task->standardOutputBuffer();
  EXPECT_EQ(buffer->data(), "early\n");
  EXPECT_FALSE(buffer->isFinalized());

  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, tavrik::LogLevel::error);
  EXPECT_EQ(lines[0].category, "default");
  EXPECT_EQ(lines[0].message, "error: grandchild-op operation timed out while waiting on output");

  // Once the grandchild has written and exited, the detached drains close
  // their ends of the pipes.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  while (openDescriptorCount() != descriptorsBefore && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
  EXPECT_EQ(buffer->data(), "early\n");
  EXPECT_EQ(task->standardErrorBuffer()->data(), "");
  EXPECT_EQ(out.text(), "early\n");
  EXPECT_EQ(out.endCount(), 0u);
}
