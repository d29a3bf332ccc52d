#include "tavrik/Process/PosixFile.h"

#include "Process/PosixSyscalls.h"
#include "tavrik/Process/WaitGroup.h"
#include "tavrik/Util/TavrikError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using tavrik::PosixFile;
using tavrik::TavrikError;
namespace detail = tavrik::detail;

namespace {

struct TestPipe {
  TestPipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~TestPipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  int release(int end) { return std::exchange(fds[end], -1); }
  int fds[2] = {-1, -1};
};

std::string pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

// Replaces write(2) for the lifetime of the object.
class ScopedWrite {
public:
  explicit ScopedWrite(detail::WriteFunction fn) : old_(detail::posixWrite.exchange(fn)) {}
  ~ScopedWrite() { detail::posixWrite = old_; }

private:
  detail::WriteFunction old_;
};

std::atomic<int> gCalls{0};
std::atomic<size_t> gFailAfter{0};
std::atomic<size_t> gWritten{0};

ssize_t shortWrite(int fd, const void* buf, size_t count) {
  ++gCalls;
  return ::write(fd, buf, std::min<size_t>(count, 3));
}

ssize_t interruptedWrite(int fd, const void* buf, size_t count) {
  if (gCalls++ % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  return ::write(fd, buf, std::min<size_t>(count, 1000));
}

ssize_t failingWrite(int fd, const void* buf, size_t count) {
  if (gWritten >= gFailAfter) {
    errno = EIO;
    return -1;
  }
  ssize_t n = ::write(fd, buf, std::min<size_t>(count, gFailAfter - gWritten));
  if (n > 0) gWritten += static_cast<size_t>(n);
  return n;
}

std::atomic<int> gInterruptFd{-1};
std::atomic<int> gInterrupts{0};

// Interrupts every other read of one descriptor; others pass through, since
// drains of other tests may still be reading on background workers.
ssize_t interruptedRead(int fd, void* buf, size_t count) {
  if (fd == gInterruptFd && gInterrupts++ % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  return ::read(fd, buf, count);
}

// Reads everything from `fd` on a thread, so writers never fill the pipe.
class Collector {
public:
  explicit Collector(int fd)
      : thread_([this, fd] {
          PosixFile file(fd);
          text_ = file.readToEnd();
          file.close();
        }) {}
  std::string finish() {
    thread_.join();
    return text_;
  }

private:
  std::string text_;
  std::thread thread_;
};

} // namespace

// Through the write seam: writeAll retries short writes and EINTR and stops
// at the first real error; write makes one call and reports what it wrote.
TEST(PosixFile, WritesThroughTheSeam) {
  struct Case {
    const char* name;
    detail::WriteFunction seam;
    size_t size;
    bool all;
    int calls; // -1: not counted
    size_t written;
    int error;
  } cases[] = {
      {"short writes", &shortWrite, 10000, true, 3334, 10000, 0},
      {"EINTR", &interruptedWrite, 50000, true, 100, 50000, 0},
      {"a real error", &failingWrite, 100, true, -1, 10, EIO},
      {"write alone", &shortWrite, 8, false, 1, 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gCalls = 0;
    gWritten = 0;
    gFailAfter = 10;
    TestPipe pipe;
    Collector collector(pipe.release(0));
    PosixFile writer(pipe.release(1));
    auto data = pattern(c.size);
    {
      ScopedWrite seam(c.seam);
      try {
        EXPECT_EQ(c.all ? writer.writeAll(data) : writer.write(data), c.written);
        EXPECT_EQ(c.error, 0);
      } catch (const TavrikError& error) {
        EXPECT_EQ(error.errnoValue, c.error);
        EXPECT_EQ(error.systemCall, "write");
      }
    }
    writer.close();
    EXPECT_TRUE(collector.finish() == data.substr(0, c.written));
    if (c.calls >= 0) EXPECT_EQ(gCalls, c.calls);
  }
}

TEST(PosixFile, WriteToClosedPipeThrowsEPIPEWithoutSignal) {
  TestPipe pipe;
  ::close(pipe.release(0));
  PosixFile writer(pipe.fds[1]);
  // With the default disposition a raised SIGPIPE would end the test binary.
  try {
    writer.writeAll(pattern(1000));
    ADD_FAILURE() << "writeAll to a closed pipe did not throw";
  } catch (const TavrikError& error) {
    EXPECT_EQ(error.errnoValue, EPIPE);
  }
  EXPECT_THROW(writer.write("x"), TavrikError);
  sigset_t pending, mask;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE)) << "the thread's signal mask was not restored";
}

TEST(PosixFile, CloseTwiceDoesNotCloseAReusedDescriptor) {
  TestPipe pipe;
  PosixFile file(pipe.release(0));
  file.close();
  int reused = ::dup(pipe.fds[1]); // likely the number just closed
  EXPECT_THROW(file.close(), TavrikError);
  EXPECT_NE(fcntl(reused, F_GETFD), -1) << "fd " << reused << " closed behind our back";
  ::close(reused);
}

// Reads retry EINTR (an interrupted read is no end of file); a drain hands
// over bounded chunks in order and ends once, also on a read error.
TEST(PosixFile, DrainsEverythingThroughInterruptedReads) {
  TestPipe pipe;
  auto data = pattern(100000);
  std::thread writerThread([fd = pipe.release(1), &data] {
    PosixFile writer(fd);
    writer.writeAll(data);
    writer.close();
  });
  gInterrupts = 0;
  gInterruptFd = pipe.fds[0];
  auto old = detail::posixRead.exchange(&interruptedRead);
  PosixFile reader(pipe.fds[0]);
  std::string received = reader.read(10);
  int ends = 0;
  size_t largest = 0;
  reader.drain([&](std::optional<std::string_view> chunk) {
    EXPECT_EQ(ends, 0) << "chunk after end of stream";
    if (!chunk) return void(++ends);
    largest = std::max(largest, chunk->size());
    received.append(*chunk);
  });
  detail::posixRead = old;
  gInterruptFd = -1;
  writerThread.join();
  EXPECT_TRUE(received == data);
  EXPECT_EQ(ends, 1);
  EXPECT_LE(largest, PosixFile::kBufferSize);
  EXPECT_GE(gInterrupts, 3);
  int badEnds = 0;
  PosixFile(-1).drain([&](std::optional<std::string_view> chunk) { badEnds += !chunk; });
  EXPECT_EQ(badEnds, 1);
}

TEST(PosixFile, ReadAsyncLeavesGroupAfterFinalNullopt) {
  TestPipe pipe;
  auto reader = std::make_shared<PosixFile>(pipe.release(0));
  auto group = std::make_shared<tavrik::WaitGroup>();
  std::atomic<bool> sawEnd{false};
  std::string received;
  PosixFile::readAsync(reader, group, [&](std::optional<std::string_view> chunk) {
    if (chunk) received.append(*chunk);
    else sawEnd = true;
  });
  EXPECT_FALSE(group->waitFor(std::chrono::milliseconds(50)));
  PosixFile(pipe.release(1)).writeAndClose("payload");
  EXPECT_TRUE(group->waitFor(std::chrono::seconds(10)));
  EXPECT_TRUE(sawEnd);
  EXPECT_EQ(received, "payload");
  reader->close();
}
