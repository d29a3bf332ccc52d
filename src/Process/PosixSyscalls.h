// The read(2) and write(2) entry points that PosixFile calls, replaceable so
// tests can inject short writes, EINTR and failures. Atomic because drains on
// background threads read them while a test swaps them.
#pragma once

#include <atomic>
#include <sys/types.h>

namespace tavrik::detail {

using ReadFunction = ssize_t (*)(int fd, void* buf, size_t count);
using WriteFunction = ssize_t (*)(int fd, const void* buf, size_t count);

extern std::atomic<ReadFunction> posixRead;
extern std::atomic<WriteFunction> posixWrite;

} // namespace tavrik::detail
