#include "tavrik/Process/PosixFile.h"

#include "Process/PosixSyscalls.h"
#include "tavrik/Process/WaitGroup.h"
#include "tavrik/Queue/TavrikError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
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

TEST(PosixFile, ReadReturnsChunksAndEmptyAtEnd) {
  TestPipe pipe;
  PosixFile writer(pipe.release(1));
  EXPECT_EQ(writer.write("hello world"), 11u);
  writer.close();
  PosixFile reader(pipe.fds[0]);
  EXPECT_EQ(reader.read(5), "hello");
  EXPECT_EQ(reader.read(), " world");
  EXPECT_EQ(reader.read(), "");
  EXPECT_THROW(reader.read(PosixFile::kBufferSize + 1), TavrikError);
}

TEST(PosixFile, ReadToEndCollectsManyBuffers) {
  TestPipe pipe;
  Collector collector(pipe.release(0));
  PosixFile writer(pipe.release(1));
  auto data = pattern(300000);
  EXPECT_EQ(writer.writeAll(data), data.size());
  writer.close();
  EXPECT_TRUE(collector.finish() == data);
}

TEST(PosixFile, FailuresThrowErrnoMessage) {
  PosixFile file(-1);
  try {
    file.write("x");
    FAIL() << "write to a bad descriptor did not throw";
  } catch (const TavrikError& error) {
    EXPECT_EQ(error.errnoValue, EBADF);
    EXPECT_EQ(error.errorDescription, std::string(strerror(EBADF)));
    EXPECT_EQ(error.failureReason, std::nullopt);
    EXPECT_EQ(error.recoverySuggestion, std::nullopt);
  }
  EXPECT_THROW(file.read(), TavrikError);
  EXPECT_THROW(file.close(), TavrikError);
}

TEST(PosixFile, CloseTwiceDoesNotCloseAReusedDescriptor) {
  TestPipe pipe;
  PosixFile file(pipe.release(0));
  int fd = file.fd();
  file.close();
  EXPECT_FALSE(file.isOpen());
  // A new descriptor likely takes the same number; the second close must not touch it.
  int reused = ::dup(pipe.fds[1]);
  try {
    file.close();
    ADD_FAILURE() << "second close did not throw";
  } catch (const TavrikError& error) {
    EXPECT_EQ(error.errnoValue, EBADF);
  }
  EXPECT_NE(fcntl(reused, F_GETFD), -1) << "fd " << reused << " (was " << fd << ") closed behind our back";
  ::close(reused);
}

TEST(PosixFile, WriteAndClose) {
  TestPipe pipe;
  PosixFile writer(pipe.release(1));
  EXPECT_EQ(writer.writeAndClose("abc"), 3u);
  EXPECT_FALSE(writer.isOpen());
  PosixFile reader(pipe.fds[0]);
  EXPECT_EQ(reader.readToEnd(), "abc");
}

TEST(PosixFile, WriteDoesNotRetryShortWrites) {
  gCalls = 0;
  TestPipe pipe;
  PosixFile writer(pipe.fds[1]);
  ScopedWrite seam(&shortWrite);
  EXPECT_EQ(writer.write("abcdefgh"), 3u);
  EXPECT_EQ(gCalls, 1);
}

TEST(PosixFile, WriteAllRetriesShortWrites) {
  gCalls = 0;
  TestPipe pipe;
  Collector collector(pipe.release(0));
  PosixFile writer(pipe.release(1));
  auto data = pattern(10000);
  {
    ScopedWrite seam(&shortWrite);
    EXPECT_EQ(writer.writeAll(data), data.size());
  }
  writer.close();
  EXPECT_TRUE(collector.finish() == data);
  EXPECT_EQ(gCalls, 3334);
}

TEST(PosixFile, WriteAllRetriesEINTR) {
  gCalls = 0;
  TestPipe pipe;
  Collector collector(pipe.release(0));
  PosixFile writer(pipe.release(1));
  auto data = pattern(50000);
  {
    ScopedWrite seam(&interruptedWrite);
    EXPECT_EQ(writer.writeAll(data), data.size());
  }
  writer.close();
  EXPECT_TRUE(collector.finish() == data);
  EXPECT_EQ(gCalls, 100);
}

TEST(PosixFile, WriteAllStopsAtTheFirstRealError) {
  gWritten = 0;
  gFailAfter = 10;
  TestPipe pipe;
  Collector collector(pipe.release(0));
  PosixFile writer(pipe.release(1));
  {
    ScopedWrite seam(&failingWrite);
    try {
      writer.writeAll(pattern(100));
      ADD_FAILURE() << "writeAll did not report the failure";
    } catch (const TavrikError& error) {
      EXPECT_EQ(error.errnoValue, EIO);
      EXPECT_EQ(error.systemCall, "write");
    }
  }
  writer.close();
  EXPECT_EQ(collector.finish(), pattern(10));
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
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE)) << "the thread's signal mask was not restored";
}

TEST(PosixFile, DrainDeliversBoundedChunksInOrderThenNullopt) {
  TestPipe pipe;
  PosixFile reader(pipe.release(0));
  auto data = pattern(100000);
  std::thread writerThread([fd = pipe.release(1), &data] {
    PosixFile writer(fd);
    writer.writeAll(data);
    writer.close();
  });
  std::string received;
  int ends = 0;
  size_t largest = 0;
  reader.drain([&](std::optional<std::string_view> chunk) {
    ASSERT_EQ(ends, 0) << "chunk after end of stream";
    if (!chunk) {
      ++ends;
      return;
    }
    largest = std::max(largest, chunk->size());
    received.append(*chunk);
  });
  writerThread.join();
  reader.close();
  EXPECT_EQ(ends, 1);
  EXPECT_LE(largest, PosixFile::kBufferSize);
  EXPECT_TRUE(received == data);
}

TEST(PosixFile, DrainEndsQuietlyOnReadError) {
  PosixFile bad(-1);
  std::vector<std::optional<std::string>> seen;
  bad.drain([&](std::optional<std::string_view> chunk) {
    seen.push_back(chunk ? std::optional<std::string>(*chunk) : std::nullopt);
  });
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], std::nullopt);
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
  {
    PosixFile writer(pipe.release(1));
    writer.writeAndClose("payload");
  }
  EXPECT_TRUE(group->waitFor(std::chrono::seconds(10)));
  EXPECT_TRUE(sawEnd);
  EXPECT_EQ(received, "payload");
  reader->close();
}

TEST(PosixFile, ReadsRetryEINTR) {
  TestPipe pipe;
  auto data = pattern(20000);
  std::thread writerThread([fd = pipe.release(1), &data] {
    PosixFile writer(fd);
    writer.writeAll(data);
    writer.close();
  });
  gInterrupts = 0;
  gInterruptFd = pipe.fds[0];
  auto old = detail::posixRead.exchange(&interruptedRead);
  PosixFile reader(pipe.fds[0]);
  std::string first = reader.read(10);
  std::string rest;
  // An interrupted read must not end the drain as end of file would.
  reader.drain([&](std::optional<std::string_view> chunk) {
    if (chunk) rest.append(*chunk);
  });
  detail::posixRead = old;
  gInterruptFd = -1;
  writerThread.join();
  EXPECT_EQ(first, data.substr(0, 10));
  EXPECT_TRUE(first + rest == data);
  EXPECT_GE(gInterrupts, 3);
}
