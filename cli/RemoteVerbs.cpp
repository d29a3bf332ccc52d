#include "RemoteVerbs.h"

#include "CommandVerbs.h"
#include "TextOutput.h"

#include "tavrik/Commands/RemoteCommands.h"
#include "tavrik/Commands/RepositoryCommands.h"
#include "tavrik/Operation/GitNotification.h"
#include "tavrik/Process/GitSocketAuth.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <termios.h>
#include <unistd.h>

namespace tavrik::cli {

namespace {

bool asksForSecret(const std::string& prompt) {
  std::string lower;
  for (char c : prompt) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("password") != std::string::npos || lower.find("passphrase") != std::string::npos;
}

// One byte at a time: what follows the line is the next prompt's answer.
std::optional<std::string> readLine(int fd) {
  std::string line;
  char c;
  for (;;) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
    if (c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Tells the delegate's committed notification apart from "nothing moved".
struct NotificationPrinter : GitQueueDelegate {
  std::mutex lock; // guards body
  std::optional<std::string> body;
  void gitQueueDidCommitNotification(const std::shared_ptr<GitQueue>&, const GitNotificationContent& c) override {
    std::lock_guard guard(lock);
    body = c.body;
  }
};

std::shared_ptr<GitAuth> terminalAuth() {
  return GitSocketAuth::create(
      [](const std::string& prompt) { return answerPrompt(prompt, STDIN_FILENO, stderr); });
}

// Runs a push, fetch or pull with the counts read before and after, and
// prints what moved.
template <class Op>
void runTransfer(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<Op>& op, const char* verb, bool json,
                 std::ostream& out) {
  // The counts the notification compares come from the view.
  queue->updateViewFor({GitAspects::head, GitAspects::refs, GitAspects::config});
  queue->waitUntilAllOperationsAreFinished();
  auto printer = std::make_shared<NotificationPrinter>();
  queue->setDelegate(printer);
  runOn(queue, withViewAccount(op, *queue));
  queue->waitUntilAllOperationsAreFinished();
  queue->setDelegate(nullptr);
  std::string body;
  {
    std::lock_guard guard(printer->lock);
    body = printer->body.value_or(std::string(verb) + " 0 commits");
  }
  if (json) out << nlohmann::json{{"result", body}}.dump() << "\n";
  else out << body << "\n";
}

std::optional<std::string> nonEmpty(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional(text);
}

} // namespace

std::optional<std::string> answerPrompt(const std::string& prompt, int input, FILE* promptStream) {
  if (!::isatty(input)) return readLine(input);
  std::fputs(prompt.c_str(), promptStream);
  std::fflush(promptStream);
  termios saved{};
  const bool hide = asksForSecret(prompt) && ::tcgetattr(input, &saved) == 0;
  if (hide) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(input, TCSAFLUSH, &quiet);
  }
  auto answer = readLine(input);
  if (hide) {
    ::tcsetattr(input, TCSAFLUSH, &saved);
    std::fputs("\n", promptStream);
  }
  return answer;
}

void addRemoteVerbs(CLI::App& app, VerbAction& action, const std::function<CLI::App*(CLI::App*)>& addCommon) {
  struct Args {
    std::string remote, refspec, url, directory, key, value, name, newName, path, deleteRef, branch;
    bool prune = false, tags = false, rebase = false, noFF = false, squash = false, autostash = false;
    bool forceWithLease = false, force = false, unset = false, init = false, recursive = false;
    std::optional<int> depth;
  };
  auto a = std::make_shared<Args>();

  auto fetch = addCommon(app.add_subcommand("fetch", "fetch from a remote (default: the upstream's)"));
  fetch->add_option("remote", a->remote, "remote name");
  fetch->add_flag("--prune", a->prune, "remove remote-tracking branches that are gone");
  fetch->add_flag("--tags", a->tags, "fetch every tag");
  fetch->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
      runTransfer(queue, makeOperation<GitExecFetchOperation>({.remote = nonEmpty(a->remote), .tags = a->tags,
                                                               .prune = a->prune, .auth = terminalAuth()}),
                  "Fetched", json, out);
    };
  });

  auto pull = addCommon(app.add_subcommand("pull", "fetch and integrate the upstream's changes"));
  pull->add_option("remote", a->remote, "remote name");
  pull->add_option("refspec", a->refspec, "what to pull");
  pull->add_flag("--rebase", a->rebase, "rebase instead of merging");
  pull->add_flag("--no-ff", a->noFF, "always create a merge commit");
  pull->add_flag("--squash", a->squash, "squash the changes into the index");
  pull->add_flag("--autostash", a->autostash, "stash local changes around the pull");
  pull->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
      runTransfer(queue,
                  makeOperation<GitExecPullOperation>({.remote = nonEmpty(a->remote), .refspec = nonEmpty(a->refspec),
                                                       .rebase = a->rebase, .noFastForward = a->noFF,
                                                       .squash = a->squash, .autostash = a->autostash,
                                                       .auth = terminalAuth()}),
                  "Pulled", json, out);
    };
  });

  auto push = addCommon(app.add_subcommand("push", "push to a remote, setting the upstream"));
  push->add_option("remote", a->remote, "remote name");
  push->add_option("refspec", a->refspec, "what to push");
  push->add_flag("--tags", a->tags, "push every tag");
  push->add_flag("--force-with-lease", a->forceWithLease, "force, unless the remote moved since the last fetch");
  push->add_option("--delete", a->deleteRef, "delete this branch or tag on the remote");
  push->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
      auto remote = nonEmpty(a->remote);
      std::shared_ptr<GitExecPushOperation> op;
      if (!a->deleteRef.empty()) {
        if (!a->refspec.empty()) throw TavrikError("Give either a refspec or --delete, not both.");
        op = makeOperation<GitExecPushOperation>({.remote = remote, .refspec = a->deleteRef, .auth = terminalAuth(),
                                                  .deleteRef = true});
      } else {
        op = makeOperation<GitExecPushOperation>({.remote = remote, .refspec = nonEmpty(a->refspec), .tags = a->tags,
                                                  .forceWithLease = a->forceWithLease, .auth = terminalAuth()});
      }
      runTransfer(queue, op, "Pushed", json, out);
    };
  });

  auto clone = addCommon(app.add_subcommand("clone", "clone a repository into a new folder"));
  clone->add_option("url", a->url, "address of the repository")->required();
  clone->add_option("directory", a->directory, "the new folder")->required();
  clone->add_option("--depth", a->depth, "only this many recent commits")->check(CLI::PositiveNumber);
  clone->callback([a, &action] {
    action.needsRepository = false;
    action.run = [a](const std::shared_ptr<GitQueue>& queue, bool, std::ostream& out) {
      auto directory = Url::fileURL(a->directory, true);
      runOn(queue, makeOperation<GitExecCloneOperation>({.url = a->url, .directory = directory, .depth = a->depth,
                                                         .auth = terminalAuth()}));
      out << "Cloned into " << directory.path() << "\n";
    };
  });

  auto init = addCommon(app.add_subcommand("init", "create an empty repository"));
  init->add_option("directory", a->directory, "the repository's folder")->required();
  init->callback([a, &action] {
    action.needsRepository = false;
    action.run = [a](const std::shared_ptr<GitQueue>& queue, bool, std::ostream& out) {
      auto directory = Url::fileURL(a->directory, true);
      runOn(queue, makeOperation<GitExecInitOperation>(directory));
      out << "Initialized " << directory.path() << "\n";
    };
  });

  auto remote = addCommon(app.add_subcommand("remote", "list, add, remove, rename or re-point remotes"));
  remote->callback([remote, &action] {
    if (!remote->get_subcommands().empty()) return;
    action.run = [](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
      queue->updateViewFor(GitAspects::config);
      queue->waitUntilAllOperationsAreFinished();
      auto view = queue->view();
      const auto& remotes = view.config ? view.config->remoteList().remotes : std::vector<GitRemote>{};
      nlohmann::json list = nlohmann::json::array();
      for (const auto& r : remotes) {
        // Addresses may carry passwords; what is printed must not.
        auto shown = withoutURLPasswords(r.urlString);
        if (json) list.push_back({{"name", r.name}, {"url", shown}});
        else out << shownText(r.name) << "\t" << shownText(shown) << "\n";
      }
      if (json) out << list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    };
  });
  auto remoteAdd = remote->add_subcommand("add", "add a remote");
  remoteAdd->add_option("name", a->name)->required();
  remoteAdd->add_option("url", a->url)->required();
  remoteAdd->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& q, bool, std::ostream&) {
      runOn(q, GitExecRemoteOperation::add(a->name, a->url));
    };
  });
  auto remoteRemove = remote->add_subcommand("remove", "remove a remote and its remote-tracking branches");
  remoteRemove->add_option("name", a->name)->required();
  remoteRemove->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& q, bool, std::ostream&) {
      runOn(q, GitExecRemoteOperation::remove(a->name));
    };
  });
  auto remoteRename = remote->add_subcommand("rename", "rename a remote");
  remoteRename->add_option("old", a->name)->required();
  remoteRename->add_option("new", a->newName)->required();
  remoteRename->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& q, bool, std::ostream&) {
      runOn(q, GitExecRemoteOperation::rename(a->name, a->newName));
    };
  });
  auto remoteSetURL = remote->add_subcommand("set-url", "change a remote's address");
  remoteSetURL->add_option("name", a->name)->required();
  remoteSetURL->add_option("url", a->url)->required();
  remoteSetURL->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& q, bool, std::ostream&) {
      runOn(q, GitExecRemoteOperation::setURLFor(a->name, a->url));
    };
  });

  auto config = addCommon(app.add_subcommand("config", "read, set or unset a configuration value"));
  config->add_option("key", a->key)->required();
  config->add_option("value", a->value);
  config->add_flag("--unset", a->unset, "remove the value");
  config->callback([a, config, &action] {
    const bool setting = config->count("value") > 0;
    action.run = [a, setting](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
      if (a->unset || setting) {
        runOn(queue, makeOperation<GitExecConfigOperation>(a->key, setting ? std::optional(a->value) : std::nullopt,
                                                           a->unset));
        return;
      }
      queue->updateViewFor(GitAspects::config);
      queue->waitUntilAllOperationsAreFinished();
      auto view = queue->view();
      auto value = view.config ? view.config->value(a->key) : std::nullopt;
      if (!value) throw TavrikError("No value for " + a->key);
      if (json) out << nlohmann::json{{"key", a->key}, {"value", *value}}.dump(-1, ' ', false,
                                                                                nlohmann::json::error_handler_t::replace)
                    << "\n";
      else out << *value << "\n";
    };
  });

  auto submodule = addCommon(app.add_subcommand("submodule", "add, init, update, sync or deinit a submodule"));
  submodule->require_subcommand(1);
  auto subAdd = submodule->add_subcommand("add", "clone a repository into PATH and record it");
  subAdd->add_option("url", a->url)->required();
  subAdd->add_option("path", a->path)->required();
  subAdd->add_option("-b,--branch", a->branch, "branch to follow");
  subAdd->callback([a, &action] {
    action.run = [a](const std::shared_ptr<GitQueue>& q, bool, std::ostream&) {
      runOn(q, GitExecSubmoduleAddOperation::add(a->url, a->path, nonEmpty(a->branch), terminalAuth()));
    };
  });
  auto subVerb = [&](const char* name, const char* help, auto make) {
    auto sub = submodule->add_subcommand(name, help);
    sub->add_option("path", a->path)->required();
    return std::pair(sub, make);
  };
  auto [subInit, makeInit] = subVerb("init", "register the submodule at PATH", [a] {
    return GitExecSubmoduleOperation::init(a->path);
  });
  auto [subUpdate, makeUpdate] = subVerb("update", "check out the recorded commit of PATH", [a] {
    auto op = GitExecSubmoduleOperation::update(a->path, a->init, a->recursive);
    op->progress = true;
    return op;
  });
  subUpdate->add_flag("--init", a->init, "initialize it first");
  subUpdate->add_flag("--recursive", a->recursive, "also its submodules");
  auto [subSync, makeSync] = subVerb("sync", "copy PATH's address from .gitmodules", [a] {
    return GitExecSubmoduleOperation::sync(a->path);
  });
  auto [subDeinit, makeDeinit] = subVerb("deinit", "unregister PATH and empty its folder", [a] {
    return GitExecSubmoduleOperation::deinit(a->path, a->force);
  });
  subDeinit->add_flag("-f,--force", a->force, "even with local changes");
  for (auto [sub, make] : {std::pair{subInit, std::function<std::shared_ptr<GitExecSubmoduleOperation>()>(makeInit)},
                           std::pair{subUpdate, std::function<std::shared_ptr<GitExecSubmoduleOperation>()>(makeUpdate)},
                           std::pair{subSync, std::function<std::shared_ptr<GitExecSubmoduleOperation>()>(makeSync)},
                           std::pair{subDeinit, std::function<std::shared_ptr<GitExecSubmoduleOperation>()>(makeDeinit)}}) {
    sub->callback([make, &action] {
      action.run = [make](const std::shared_ptr<GitQueue>& q, bool, std::ostream&) { runOn(q, make()); };
    });
  }
}

} // namespace tavrik::cli
