#include "tavrik/Util/TavrikError.h"

#include "tavrik/Util/StringUtilities.h"

#include <cstring>

namespace tavrik {

TavrikError TavrikError::fromErrno(int errnoValue, std::string systemCall) {
  char buf[256];
  // GNU strerror_r returns the message, which may or may not live in buf.
  const char* message = strerror_r(errnoValue, buf, sizeof buf);
  TavrikError error(std::string(message ? message : "Unknown error"));
  error.errnoValue = errnoValue;
  error.systemCall = std::move(systemCall);
  return error;
}

TavrikError TavrikError::optionLikeArgument(const std::string& what, const std::string& value) {
  return {"Invalid " + what + " \"" + withoutURLPasswords(value) + "\": it cannot begin with \"-\".",
          "Git would read it as an option."};
}

std::string TavrikError::localizedDescription() const {
  if (errorDescription) return *errorDescription;
  if (failureReason) return *failureReason;
  return "Tavrik error";
}

} // namespace tavrik
