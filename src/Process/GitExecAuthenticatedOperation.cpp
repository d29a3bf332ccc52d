#include "tavrik/Process/GitExecAuthenticatedOperation.h"

namespace tavrik::detail {

std::map<std::string, std::string> authenticatedEnvironment(std::map<std::string, std::string> base,
                                                            const GitAuth* auth) {
  // Nobody can answer a terminal prompt: git and ssh must ask the companion,
  // and a declined prompt must fail the run instead of waiting.
  base["GIT_TERMINAL_PROMPT"] = "0";
  base["SSH_ASKPASS_REQUIRE"] = "force";
  if (auth)
    for (auto& [name, value] : auth->sessionEnvironment()) base[name] = value;
  return base;
}

void runInSession(GitAuth* auth, const std::optional<Uuid>& account, const std::function<void()>& run) {
  if (!auth) {
    run();
    return;
  }
  auth->beginSession(account);
  try {
    run();
  } catch (...) {
    auth->finishSession();
    throw;
  }
  auth->finishSession();
}

} // namespace tavrik::detail
