// A file descriptor with a fixed 4096-byte read buffer: the ends of the pipes
// that connect the engine to a child process. Reads go through the buffer, so
// draining a pipe allocates only the chunks handed on.
//
// The object never closes its descriptor on its own; only close() and
// writeAndClose() do. Failed system calls throw TavrikError::fromErrno with
// errno's message.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

class WaitGroup;

class PosixFile {
public:
  static constexpr size_t kBufferSize = 4096;

  /// Called once per chunk read (at most kBufferSize bytes, valid only during
  /// the call) and once with nullopt at end of stream.
  using ChunkBlock = std::function<void(std::optional<std::string_view>)>;

  /// Wraps `fd` and allocates the read buffer.
  explicit PosixFile(int fd);
  /// The reading end of a pipe.
  static PosixFile readFromPipe(int fd) { return PosixFile(fd); }
  /// The writing end of a pipe.
  static PosixFile writeToPipe(int fd) { return PosixFile(fd); }

  PosixFile(PosixFile&& other) noexcept;
  PosixFile& operator=(PosixFile&& other) noexcept;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;
  ~PosixFile();

  /// The descriptor, -1 once closed.
  int fd() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }

  /// One read(2) of `count` bytes (the whole buffer when nullopt) into the
  /// buffer. Empty at end of file, otherwise exactly the bytes read.
  /// EINTR is retried. Throws for other errors and for count > kBufferSize.
  std::string read(std::optional<size_t> count = std::nullopt);

  /// One read(2) of at most `capacity` bytes straight into `data`, for
  /// readers that keep their own larger buffer. Returns the count, 0 at end
  /// of file. EINTR is retried; other errors throw.
  size_t readInto(char* data, size_t capacity);

  /// One write(2) of all of `data`; returns the count the call reports (a
  /// short write is not retried). EINTR is retried. Writing to a pipe whose
  /// reader is gone throws EPIPE and never raises SIGPIPE in this process.
  size_t write(std::string_view data);

  /// Writes every byte of `data`, retrying short writes and EINTR; returns
  /// data.size(). Throws on the first real error, with the bytes before it
  /// written. SIGPIPE is suppressed as for write().
  size_t writeAll(std::string_view data);

  /// write(), then close() if the write did not throw.
  size_t writeAndClose(std::string_view data);

  /// close(2) on the descriptor; the object then holds -1. Throws EBADF when
  /// already closed rather than closing a descriptor reused by someone else.
  void close();

  /// Reads buffer-sized chunks until end of file.
  std::string readToEnd();

  /// Reads chunks until end of file or a read error and hands each one to
  /// `block`, then calls block(nullopt) once. Runs on the calling thread.
  /// A read error ends the stream as end of file would.
  void drain(const ChunkBlock& block);

  /// The asynchronous drain: enters `group`, then runs drain(block) on the
  /// shared background pool and leaves `group` after the final block(nullopt).
  /// `file` and `group` are kept alive until then.
  static void readAsync(std::shared_ptr<PosixFile> file, std::shared_ptr<WaitGroup> group, ChunkBlock block);

private:
  int fd_ = -1;
  std::unique_ptr<char[]> buf_;
};

} // namespace tavrik
