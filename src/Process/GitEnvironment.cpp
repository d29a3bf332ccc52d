#include "tavrik/Process/GitEnvironment.h"

#include "Util/UserAccount.h"

#include <cerrno>
#include <unistd.h>
#include <string_view>
#include <vector>

extern char** environ;

namespace tavrik {

namespace {
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}
} // namespace

namespace {

// What `git rev-parse --local-env-vars` lists: each one points git at some
// other repository, index or object store than the one the runner chose.
constexpr std::string_view kRepositoryLocalVariables[] = {
    "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_CONFIG", "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT",
    "GIT_OBJECT_DIRECTORY", "GIT_DIR", "GIT_WORK_TREE", "GIT_IMPLICIT_WORK_TREE", "GIT_GRAFT_FILE",
    "GIT_INDEX_FILE", "GIT_NO_REPLACE_OBJECTS", "GIT_REPLACE_REF_BASE", "GIT_PREFIX", "GIT_INTERNAL_SUPER_PREFIX",
    "GIT_SHALLOW_FILE", "GIT_COMMON_DIR"};

// Settings injected through the environment would change what the engine's
// own commands print; the user's config files stay reachable through HOME.
void removeInheritedRepositoryVariables(GitEnvironment::Variables& env) {
  for (auto name : kRepositoryLocalVariables) env.erase(std::string(name));
  std::erase_if(env, [](const auto& entry) {
    return entry.first.starts_with("GIT_CONFIG_KEY_") || entry.first.starts_with("GIT_CONFIG_VALUE_");
  });
  // "GIT_FLUSH=0" would hold back a streamed history page or blame range in
  // git's buffer; without it git flushes each record into a pipe.
  env.erase("GIT_FLUSH");
}

} // namespace

GitEnvironment::Variables GitEnvironment::build(const Inputs& inputs) {
  Variables env = inputs.shellEnvironment ? *inputs.shellEnvironment : inputs.processEnvironment;
  removeInheritedRepositoryVariables(env);
  // Errors are classified by git's English messages, whatever the user's locale.
  env["LC_ALL"] = "C.UTF-8";
  env.erase("LANGUAGE");

  std::string searchPath;
  if (auto it = env.find("PATH"); it != env.end()) searchPath = it->second;
  else searchPath = kDefaultSearchPath;

  if (inputs.homeDirectory) env["HOME"] = *inputs.homeDirectory;
  if (inputs.processEnvironment.contains("APP_SANDBOX_CONTAINER_ID")) env["GIT_CONFIG_NOSYSTEM"] = "1";

  const auto& prefix = inputs.prefixURL;
  if (prefix) {
    std::string askpass = prefix->appendingPathComponent("bin/askpass").path();
    env["SSH_ASKPASS"] = askpass;
    env["GIT_ASKPASS"] = askpass;
  }
  // The sequence editor too: the user's GIT_SEQUENCE_EDITOR or
  // sequence.editor would otherwise take the instruction list.
  if (inputs.editorEnvironment && prefix) {
    for (const auto& [name, value] : *inputs.editorEnvironment) env[name] = value;
    // git hands the editor to the shell; a prefix with a space must stay one word.
    std::string editor = prefix->appendingPathComponent("bin/editor").path();
    if (editor.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+") !=
        std::string::npos)
      editor = shellQuoted(editor);
    env["GIT_EDITOR"] = env["GIT_SEQUENCE_EDITOR"] = editor;
  } else {
    // Never let git open an interactive editor nobody can see.
    env["GIT_EDITOR"] = env["GIT_SEQUENCE_EDITOR"] = ":";
  }
  if (prefix) {
    std::string extended = prefix->appendingPathComponent("bin", true).path();
    size_t start = 0;
    while (start <= searchPath.size()) {
      size_t end = searchPath.find(':', start);
      if (end == std::string::npos) end = searchPath.size();
      if (end > start) {
        extended += ':';
        extended.append(searchPath, start, end - start);
      }
      start = end + 1;
    }
    searchPath = std::move(extended);
    env["GIT_EXEC_PATH"] = prefix->appendingPathComponent("libexec/git-core", true).path();
    env["GIT_TEMPLATE_DIR"] = prefix->appendingPathComponent("share/git-core/templates", true).path();
  }
  if (inputs.gitDirectoryURL) env["GIT_DIR"] = inputs.gitDirectoryURL->path();
  if (inputs.workingDirectoryURL) env["PWD"] = inputs.workingDirectoryURL->path();
  if (inputs.author) {
    env["GIT_AUTHOR_NAME"] = inputs.author->name;
    env["GIT_AUTHOR_EMAIL"] = inputs.author->email;
  }
  if (inputs.committer) {
    env["GIT_COMMITTER_NAME"] = inputs.committer->name;
    env["GIT_COMMITTER_EMAIL"] = inputs.committer->email;
  }
  env["PATH"] = searchPath;
  env["GIT_PAGER"] = "";
  return env;
}

GitEnvironment::Variables GitEnvironment::processEnvironment() {
  Variables env;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    // The first definition wins, as getenv(3) sees it.
    env.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return env;
}

std::optional<std::string> GitEnvironment::userHomeDirectory() {
  auto account = detail::currentUserAccount();
  return account ? account->homeDirectory : std::nullopt;
}

} // namespace tavrik
