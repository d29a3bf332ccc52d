// Feeds arbitrary bytes (git's error output is not guaranteed UTF-8) to the
// error classification and the description built from it.
#include "tavrik/Process/GitStdError.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  tavrik::GitStdError error(static_cast<int>(size), text);
  auto description = error.errorDescription();
  if (description.find(text) == std::string::npos) __builtin_trap();
  if (error.kind() == tavrik::GitStdError::Kind::other) {
    if (!error.groups().empty()) __builtin_trap();
  } else {
    if (error.groups().empty()) __builtin_trap();
    for (const auto& group : error.groups()) {
      if (text.find(group) == std::string::npos) __builtin_trap();
    }
  }
  return 0;
}
