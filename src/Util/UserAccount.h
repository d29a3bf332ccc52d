// The current user's entry in the user database (home directory and login
// shell), read in one place.
#pragma once

#include <optional>
#include <string>

namespace tavrik::detail {

struct UserAccount {
  /// pw_dir as the database has it; absent when the entry has none.
  std::optional<std::string> homeDirectory;
  /// pw_shell as the database has it; absent when the entry has none.
  std::optional<std::string> shell;
};

/// The entry of the real user id; absent when there is none (or the lookup
/// fails). The real id rather than the effective one: a set-user-id helper
/// acts for the user who ran it, so that user's home and shell are meant, as
/// the shells and OpenSSH take them. Safe from any thread (getpwuid_r).
std::optional<UserAccount> currentUserAccount();

} // namespace tavrik::detail
