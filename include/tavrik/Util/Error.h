// The common base of every error the engine raises. Errors travel through
// futures as std::exception_ptr; a client shows `localizedDescription()`.
#pragma once

#include <exception>
#include <string>

namespace tavrik {

/// Base of all engine errors. `what()` returns the localized description.
class Error : public std::exception {
public:
  ~Error() override = default;

  /// The text a client shows to the user.
  virtual std::string localizedDescription() const = 0;

  const char* what() const noexcept override;

private:
  mutable std::string whatCache_;
};

/// The localized description of any error carried as an exception_ptr:
/// `localizedDescription()` for engine errors, `what()` for other standard
/// exceptions, "unknown error" otherwise. Never throws.
std::string localizedDescription(const std::exception_ptr& error) noexcept;

} // namespace tavrik
