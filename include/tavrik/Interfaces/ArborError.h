// The object-model layer's generic error: a message. The engine raises it for
// a missing git installation and for its own reference checks; the libgit2
// layer raises it with libgit2's error text, copied on the failing thread.
#pragma once

#include "tavrik/Util/Error.h"

#include <string>

namespace arbor {

class Error : public tavrik::Error {
public:
  enum class Code { generic, notFound, ambiguous, invalid };

  explicit Error(std::string message, Code code = Code::generic)
      : message_(std::move(message)), code_(code) {}
  /// `Error::generic("Git executable not found.")`.
  static Error generic(std::string message) { return Error(std::move(message)); }

  const std::string& message() const { return message_; }
  Code code() const { return code_; }
  std::string localizedDescription() const override { return message_; }

private:
  std::string message_;
  Code code_;
};

} // namespace arbor
