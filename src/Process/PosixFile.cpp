#include "tavrik/Process/PosixFile.h"

#include "Process/BackgroundExecutor.h"
#include "Process/PosixSyscalls.h"
#include "tavrik/Process/WaitGroup.h"
#include "tavrik/Util/TavrikError.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace tavrik {
namespace detail {

std::atomic<ReadFunction> posixRead{&::read};
std::atomic<WriteFunction> posixWrite{&::write};

} // namespace detail

namespace {

ssize_t sysRead(int fd, void* buf, size_t count) {
  auto fn = detail::posixRead.load(std::memory_order_relaxed);
  ssize_t n;
  do {
    n = fn(fd, buf, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t sysWrite(int fd, const void* buf, size_t count) {
  auto fn = detail::posixWrite.load(std::memory_order_relaxed);
  ssize_t n;
  do {
    n = fn(fd, buf, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

// A write to a pipe whose reader has exited raises SIGPIPE, which kills the
// whole client by default. A library must not change the process-wide
// disposition, so SIGPIPE is blocked on this thread for the writes and a
// signal they raised is consumed before the old mask comes back.
class SigpipeSuppressor {
public:
  SigpipeSuppressor() {
    sigemptyset(&pipeSet_);
    sigaddset(&pipeSet_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
  }
  ~SigpipeSuppressor() {
    if (brokePipe_ && !wasPending_) {
      timespec zero{};
      while (sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  }
  void noteError(int error) { brokePipe_ = brokePipe_ || error == EPIPE; }

private:
  sigset_t pipeSet_;
  sigset_t oldMask_;
  bool wasPending_ = false;
  bool brokePipe_ = false;
};

} // namespace

PosixFile::PosixFile(int fd) : fd_(fd), buf_(new char[kBufferSize]) {}

PosixFile::PosixFile(PosixFile&& other) noexcept : fd_(other.fd_), buf_(std::move(other.buf_)) { other.fd_ = -1; }

PosixFile& PosixFile::operator=(PosixFile&& other) noexcept {
  if (this != &other) {
    fd_ = other.fd_;
    buf_ = std::move(other.buf_);
    other.fd_ = -1;
  }
  return *this;
}

PosixFile::~PosixFile() = default;

std::string PosixFile::read(std::optional<size_t> count) {
  size_t wanted = count.value_or(kBufferSize);
  if (wanted > kBufferSize) throw TavrikError::fromErrno(EINVAL, "read");
  ssize_t n = sysRead(fd_, buf_.get(), wanted);
  if (n < 0) throw TavrikError::fromErrno(errno, "read");
  return std::string(buf_.get(), static_cast<size_t>(n));
}

size_t PosixFile::readInto(char* data, size_t capacity) {
  ssize_t n = sysRead(fd_, data, capacity);
  if (n < 0) throw TavrikError::fromErrno(errno, "read");
  return static_cast<size_t>(n);
}

size_t PosixFile::write(std::string_view data) {
  SigpipeSuppressor suppressor;
  ssize_t n = sysWrite(fd_, data.data(), data.size());
  if (n < 0) {
    int error = errno;
    suppressor.noteError(error);
    throw TavrikError::fromErrno(error, "write");
  }
  return static_cast<size_t>(n);
}

size_t PosixFile::writeAll(std::string_view data) {
  SigpipeSuppressor suppressor;
  size_t written = 0;
  while (written < data.size()) {
    ssize_t n = sysWrite(fd_, data.data() + written, data.size() - written);
    if (n < 0) {
      int error = errno;
      suppressor.noteError(error);
      throw TavrikError::fromErrno(error, "write");
    }
    // A zero-byte write of a non-empty request would loop for ever.
    if (n == 0) throw TavrikError::fromErrno(EIO, "write");
    written += static_cast<size_t>(n);
  }
  return written;
}

size_t PosixFile::writeAndClose(std::string_view data) {
  size_t n = write(data);
  close();
  return n;
}

void PosixFile::close() {
  if (fd_ < 0) throw TavrikError::fromErrno(EBADF, "close");
  int fd = fd_;
  fd_ = -1;
  // On Linux the descriptor is released even when close reports EINTR, so
  // it must not be closed again.
  if (::close(fd) != 0 && errno != EINTR) throw TavrikError::fromErrno(errno, "close");
}

std::string PosixFile::readToEnd() {
  std::string result;
  for (;;) {
    ssize_t n = sysRead(fd_, buf_.get(), kBufferSize);
    if (n < 0) throw TavrikError::fromErrno(errno, "read");
    if (n == 0) return result;
    result.append(buf_.get(), static_cast<size_t>(n));
  }
}

void PosixFile::drain(const ChunkBlock& block) {
  for (;;) {
    ssize_t n = sysRead(fd_, buf_.get(), kBufferSize);
    if (n <= 0) break;
    block(std::string_view(buf_.get(), static_cast<size_t>(n)));
  }
  block(std::nullopt);
}

void PosixFile::readAsync(std::shared_ptr<PosixFile> file, std::shared_ptr<WaitGroup> group, ChunkBlock block) {
  group->enter();
  try {
    detail::BackgroundExecutor::shared().submit([file, group, block = std::move(block)] {
      file->drain(block);
      group->leave();
    });
  } catch (...) {
    group->leave();
    throw;
  }
}

} // namespace tavrik
