#include "Util/UserAccount.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tavrik::detail {

std::optional<UserAccount> currentUserAccount() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int rc;
  // A megabyte bounds the retries: an entry that needs more is not one.
  while ((rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (rc != 0 || !found) return std::nullopt;
  UserAccount account;
  if (found->pw_dir) account.homeDirectory = found->pw_dir;
  if (found->pw_shell) account.shell = found->pw_shell;
  return account;
}

} // namespace tavrik::detail
