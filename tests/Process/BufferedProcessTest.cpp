#include "tavrik/Process/BufferedProcess.h"

#include "Support/Helpers.h"
#include "tavrik/Util/TavrikError.h"

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using tavrik::BufferedProcess;
using tavrik::GitBuffer;
using tavrik::Url;
using namespace std::chrono_literals;

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
struct Chunks {
  std::mutex mutex;
  std::vector<std::optional<std::string>> chunks;
  BufferedProcess::OutputBlock block() {
    return [this](std::optional<std::string_view> chunk) {
      std::lock_guard lock(mutex);
      chunks.push_back(chunk ? std::optional<std::string>(*chunk) : std::nullopt);
    };
  }
};

::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at byte " << i;
}

} // namespace

// Each chunk reaches the buffer before the callback, at most 4096 bytes and
// in order; each stream ends once, with nullopt, also when it was silent.
TEST(BufferedProcess, DeliversBoundedChunksInOrderThenOneEnd) {
  auto expected = pattern(1, 200000);
  auto buffer = std::make_shared<GitBuffer>();
  Chunks err;
  std::vector<size_t> sizes;
  bool bufferHeldChunk = true;
  size_t total = 0, ends = 0;
  auto task = selfChild("stdout", expected.size())
                  .launch(false, "long-output", buffer, nullptr,
                          [&](std::optional<std::string_view> chunk) {
                            if (!chunk) {
                              ++ends;
                              bufferHeldChunk = bufferHeldChunk && buffer->isFinalized();
                              return;
                            }
                            sizes.push_back(chunk->size());
                            total += chunk->size();
                            bufferHeldChunk = bufferHeldChunk && buffer->data().size() == total &&
                                              buffer->data().compare(total - chunk->size(), chunk->size(), *chunk) == 0;
                          },
                          err.block());
  EXPECT_EQ(task->wait(), 0);
  EXPECT_TRUE(sameBytes(buffer->data(), expected));
  EXPECT_TRUE(bufferHeldChunk);
  EXPECT_EQ(ends, 1u);
  EXPECT_GE(sizes.size(), expected.size() / 4096);
  for (size_t size : sizes) EXPECT_LE(size, 4096u);
  EXPECT_EQ(err.chunks, (std::vector<std::optional<std::string>>{std::nullopt}));
  EXPECT_TRUE(task->standardErrorBuffer()->isFinalized());
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

// What a child sees and how it ends: status, signal, input, directory and
// environment.
TEST(BufferedProcess, LaunchesAsConfigured) {
  tavrik::testing::TempDir dir;
  setenv("TAVRIK_INHERITED_PROBE", "yes", 1);
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::function<void(BufferedProcess&)> setup;
    int status;
    std::string out, err;
  } cases[] = {
      {"status and both streams", {"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, nullptr, 3, "out\n", "err\n"},
      {"killed by a signal", {"/bin/sh", "-c", "kill -TERM $$"}, nullptr, SIGTERM, "", ""},
      {"no input pipe: /dev/null, never the terminal", {"/bin/readlink", "/proc/self/fd/0"}, nullptr, 0, "/dev/null\n", ""},
      {"working directory", {"/bin/pwd", "-P"},
       [&](BufferedProcess& p) { p.currentDirectoryURL = Url::fileURL(dir.path().string(), true); }, 0,
       dir.path().string() + "\n", ""},
      {"a directory that is no file URL is ignored", {"/bin/pwd", "-P"},
       [](BufferedProcess& p) { p.currentDirectoryURL = Url::parse("https://example.com/tmp"); }, 0,
       std::filesystem::canonical(".").string() + "\n", ""},
      {"environment replaced whole", {"/usr/bin/env"},
       [](BufferedProcess& p) { p.environment = std::map<std::string, std::string>{{"A", "1"}, {"B", "two words"}}; },
       0, "A=1\nB=two words\n", ""},
      {"environment inherited", {"/bin/sh", "-c", "echo $TAVRIK_INHERITED_PROBE"}, nullptr, 0, "yes\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto process = program(c.argv[0], {c.argv.begin() + 1, c.argv.end()});
    if (c.setup) c.setup(process);
    auto task = process.launch();
    EXPECT_EQ(task->wait(), c.status);
    EXPECT_EQ(task->wait(), c.status);
    EXPECT_EQ(task->standardOutputBuffer()->data(), c.out);
    EXPECT_EQ(task->standardErrorBuffer()->data(), c.err);
  }
  unsetenv("TAVRIK_INHERITED_PROBE");
}

// Neither a descriptor opened without close-on-exec by other code, nor the
// pipes of another launch running at the same time.
TEST(BufferedProcess, ChildInheritsNoOtherDescriptor) {
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

TEST(BufferedProcess, LaunchesLeaveNoDescriptorBehind) {
  auto process = program("/bin/true", {});
  process.launch()->wait(); // warm up the drain workers
  size_t before = openDescriptorCount();
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(process.launch(i % 2 == 0)->wait(), 0);
  EXPECT_EQ(openDescriptorCount(), before);
  try {
    program("/nonexistent/tavrik-no-such-program", {}).launch(true);
    ADD_FAILURE() << "launching a missing program did not throw";
  } catch (const tavrik::TavrikError& error) {
    EXPECT_EQ(error.errnoValue, ENOENT);
  }
  auto missingDirectory = program("/bin/pwd", {});
  missingDirectory.currentDirectoryURL = Url::fileURL("/nonexistent/tavrik", true);
  EXPECT_THROW(missingDirectory.launch(), tavrik::TavrikError);
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(BufferedProcess, ChildOfDroppedTaskIsReaped) {
  pid_t pid = program("/bin/true", {}).launch()->processIdentifier();
  // A zombie keeps its /proc entry until someone reaps it.
  auto procEntry = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 1000 && std::filesystem::exists(procEntry); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(std::filesystem::exists(procEntry));
}

// A grandchild keeps both pipes open after the child exits, and writes again
// after wait() has given up: the caller's buffers must not change any more.
TEST(BufferedProcess, WaitGivesUpOnOutputHeldByGrandchild) {
  tavrik::testing::LogCapture capture;
  size_t descriptorsBefore = openDescriptorCount();
  Chunks out;
  auto start = std::chrono::steady_clock::now();
  auto task = program("/bin/sh", {"-c", "echo early; (sleep 3.5; echo late; echo late >&2) &"})
                  .launch(false, "grandchild-op", nullptr, nullptr, out.block());
  EXPECT_EQ(task->wait(), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 1900ms);
  EXPECT_LT(waited, 3200ms); // well before the grandchild ends
  EXPECT_TRUE(task->outputTimedOut());
  EXPECT_FALSE(task->standardOutputBuffer()->isFinalized());
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"error: grandchild-op operation timed out while waiting on output"}));
  // Once the grandchild has written and exited, the detached drains close
  // their ends of the pipes.
  for (int i = 0; i < 400 && openDescriptorCount() != descriptorsBefore; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
  EXPECT_EQ(task->standardOutputBuffer()->data(), "early\n");
  EXPECT_EQ(task->standardErrorBuffer()->data(), "");
  EXPECT_EQ(out.chunks, (std::vector<std::optional<std::string>>{"early\n"}));
}
