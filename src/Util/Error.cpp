#include "tavrik/Util/Error.h"

namespace tavrik {

const char* Error::what() const noexcept {
  try {
    whatCache_ = localizedDescription();
  } catch (...) {
    return "error";
  }
  return whatCache_.c_str();
}

std::string localizedDescription(const std::exception_ptr& error) noexcept {
  if (!error) return "no error";
  try {
    std::rethrow_exception(error);
  } catch (const Error& e) {
    try {
      return e.localizedDescription();
    } catch (...) {
      return "error";
    }
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "unknown error";
}

} // namespace tavrik
