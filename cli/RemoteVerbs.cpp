#include "RemoteVerbs.h"

#include "CommandVerbs.h"
#include "TextOutput.h"

#include "tavrik/Json/GitJson.h"

#include "tavrik/Commands/RemoteCommands.h"
#include "tavrik/Commands/RepositoryCommands.h"
#include "tavrik/Operation/GitNotification.h"
#include "tavrik/Process/GitSocketAuth.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

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
  out << (json ? transferResultJson(body) : body) << "\n";
}

std::optional<std::string> nonEmpty(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional(text);
}

} // namespace

std::shared_ptr<GitAuth> terminalAuth() {
  return GitSocketAuth::create(
      [](const std::string& prompt) { return answerPrompt(prompt, STDIN_FILENO, stderr); });
}

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

std::vector<VerbSpec> remoteVerbs() {
  struct Args {
    std::string remote, refspec, url, directory, key, value, name, newName, path, deleteRef, branch;
    bool prune = false, tags = false, rebase = false, noFF = false, squash = false, autostash = false;
    bool forceWithLease = false, force = false, unset = false, init = false, recursive = false;
    std::optional<int> depth;
  };
  auto a = std::make_shared<Args>();
  // The verbs below `remote` and `submodule` take no common flags of their own.
  auto bare = [](VerbSpec verb) {
    verb.commonFlags = false;
    return verb;
  };
  auto running = [](auto make) {
    return [make](const CLI::App&) -> VerbRun {
      return [make](const std::shared_ptr<GitQueue>& q, bool, std::ostream&) { runOn(q, make()); };
    };
  };

  std::vector<VerbSpec> verbs = {
      {"fetch", "fetch from a remote (default: the upstream's)",
       [a](CLI::App& verb) {
         verb.add_option("remote", a->remote, "remote name");
         verb.add_flag("--prune", a->prune, "remove remote-tracking branches that are gone");
         verb.add_flag("--tags", a->tags, "fetch every tag");
       },
       [a](const CLI::App&) -> VerbRun {
         return [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           runTransfer(queue, makeOperation<GitExecFetchOperation>({.remote = nonEmpty(a->remote), .tags = a->tags,
                                                                    .prune = a->prune, .auth = terminalAuth()}),
                       "Fetched", json, out);
         };
       }},
      {"pull", "fetch and integrate the upstream's changes",
       [a](CLI::App& verb) {
         verb.add_option("remote", a->remote, "remote name");
         verb.add_option("refspec", a->refspec, "what to pull");
         verb.add_flag("--rebase", a->rebase, "rebase instead of merging");
         verb.add_flag("--no-ff", a->noFF, "always create a merge commit");
         verb.add_flag("--squash", a->squash, "squash the changes into the index");
         verb.add_flag("--autostash", a->autostash, "stash local changes around the pull");
       },
       [a](const CLI::App&) -> VerbRun {
         return [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           auto auth = terminalAuth();
           auto pull = makeOperation<GitExecPullOperation>({.remote = nonEmpty(a->remote),
                                                            .refspec = nonEmpty(a->refspec), .rebase = a->rebase,
                                                            .noFastForward = a->noFF, .squash = a->squash,
                                                            .autostash = a->autostash, .auth = auth});
           // The merge or rebase signs its commits when commit.gpgSign says so.
           pull->signingAuth = auth;
           runTransfer(queue, pull, "Pulled", json, out);
         };
       }},
      {"push", "push to a remote, setting the upstream",
       [a](CLI::App& verb) {
         verb.add_option("remote", a->remote, "remote name");
         verb.add_option("refspec", a->refspec, "what to push");
         verb.add_flag("--tags", a->tags, "push every tag");
         verb.add_flag("--force-with-lease", a->forceWithLease, "force, unless the remote moved since the last fetch");
         verb.add_option("--delete", a->deleteRef, "delete this branch or tag on the remote");
       },
       [a](const CLI::App&) -> VerbRun {
         return [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           auto remote = nonEmpty(a->remote);
           std::shared_ptr<GitExecPushOperation> op;
           if (!a->deleteRef.empty()) {
             if (!a->refspec.empty()) throw TavrikError("Give either a refspec or --delete, not both.");
             op = makeOperation<GitExecPushOperation>(
                 {.remote = remote, .refspec = a->deleteRef, .auth = terminalAuth(), .deleteRef = true});
           } else {
             op = makeOperation<GitExecPushOperation>({.remote = remote, .refspec = nonEmpty(a->refspec),
                                                       .tags = a->tags, .forceWithLease = a->forceWithLease,
                                                       .auth = terminalAuth()});
           }
           runTransfer(queue, op, "Pushed", json, out);
         };
       }},
      {"clone", "clone a repository into a new folder",
       [a](CLI::App& verb) {
         verb.add_option("url", a->url, "address of the repository")->required();
         verb.add_option("directory", a->directory, "the new folder")->required();
         verb.add_option("--depth", a->depth, "only this many recent commits")->check(CLI::PositiveNumber);
       },
       [a](const CLI::App&) -> VerbRun {
         return [a](const std::shared_ptr<GitQueue>& queue, bool, std::ostream& out) {
           auto directory = Url::fileURL(a->directory, true);
           runOn(queue, makeOperation<GitExecCloneOperation>(
                            {.url = a->url, .directory = directory, .depth = a->depth, .auth = terminalAuth()}));
           out << "Cloned into " << directory.path() << "\n";
         };
       },
       false},
      {"init", "create an empty repository",
       [a](CLI::App& verb) { verb.add_option("directory", a->directory, "the repository's folder")->required(); },
       [a](const CLI::App&) -> VerbRun {
         return [a](const std::shared_ptr<GitQueue>& queue, bool, std::ostream& out) {
           auto directory = Url::fileURL(a->directory, true);
           runOn(queue, makeOperation<GitExecInitOperation>(directory));
           out << "Initialized " << directory.path() << "\n";
         };
       },
       false},
      {"remote", "list, add, remove, rename or re-point remotes", nullptr,
       [](const CLI::App&) -> VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           queue->updateViewFor(GitAspects::config);
           queue->waitUntilAllOperationsAreFinished();
           auto view = queue->view();
           const auto& remotes = view.config ? view.config->remoteList().remotes : std::vector<GitRemote>{};
           if (json) return void(out << toJson(remotes) << "\n");
           // Addresses may carry passwords; what is printed must not.
           for (const auto& r : remotes)
             out << shownText(r.name) << "\t" << shownText(withoutURLPasswords(r.urlString)) << "\n";
         };
       }},
      bare({"remote add", "add a remote",
            [a](CLI::App& verb) {
              verb.add_option("name", a->name)->required();
              verb.add_option("url", a->url)->required();
            },
            running([a] { return GitExecRemoteOperation::add(a->name, a->url); })}),
      bare({"remote remove", "remove a remote and its remote-tracking branches",
            [a](CLI::App& verb) { verb.add_option("name", a->name)->required(); },
            running([a] { return GitExecRemoteOperation::remove(a->name); })}),
      bare({"remote rename", "rename a remote",
            [a](CLI::App& verb) {
              verb.add_option("old", a->name)->required();
              verb.add_option("new", a->newName)->required();
            },
            running([a] { return GitExecRemoteOperation::rename(a->name, a->newName); })}),
      bare({"remote set-url", "change a remote's address",
            [a](CLI::App& verb) {
              verb.add_option("name", a->name)->required();
              verb.add_option("url", a->url)->required();
            },
            running([a] { return GitExecRemoteOperation::setURLFor(a->name, a->url); })}),
      {"config", "read, set or unset a configuration value",
       [a](CLI::App& verb) {
         verb.add_option("key", a->key)->required();
         verb.add_option("value", a->value);
         verb.add_flag("--unset", a->unset, "remove the value");
       },
       [a](const CLI::App& verb) -> VerbRun {
         const bool setting = verb.count("value") > 0;
         return [a, setting](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           if (a->unset || setting) {
             runOn(queue, makeOperation<GitExecConfigOperation>(
                              a->key, setting ? std::optional(a->value) : std::nullopt, a->unset));
             return;
           }
           queue->updateViewFor(GitAspects::config);
           queue->waitUntilAllOperationsAreFinished();
           auto view = queue->view();
           auto value = view.config ? view.config->value(a->key) : std::nullopt;
           if (!value) throw TavrikError("No value for " + a->key);
           out << (json ? configValueJson(a->key, *value) : *value) << "\n";
         };
       }},
      verbGroup("submodule", "add, init, update, sync or deinit a submodule"),
      bare({"submodule add", "clone a repository into PATH and record it",
            [a](CLI::App& verb) {
              verb.add_option("url", a->url)->required();
              verb.add_option("path", a->path)->required();
              verb.add_option("-b,--branch", a->branch, "branch to follow");
            },
            running([a] {
              return GitExecSubmoduleAddOperation::add(a->url, a->path, nonEmpty(a->branch), terminalAuth());
            })}),
  };
  // The verbs on one submodule at PATH.
  auto onPath = [&](const char* name, const char* help, std::function<void(CLI::App&)> flags, auto make) {
    verbs.push_back(bare({std::string("submodule ") + name, help,
                          [a, flags](CLI::App& verb) {
                            verb.add_option("path", a->path)->required();
                            if (flags) flags(verb);
                          },
                          running(make)}));
  };
  onPath("init", "register the submodule at PATH", nullptr, [a] { return GitExecSubmoduleOperation::init(a->path); });
  onPath(
      "update", "check out the recorded commit of PATH",
      [a](CLI::App& verb) {
        verb.add_flag("--init", a->init, "initialize it first");
        verb.add_flag("--recursive", a->recursive, "also its submodules");
      },
      [a] {
        auto op = GitExecSubmoduleOperation::update(a->path, a->init, a->recursive);
        op->progress = true;
        return op;
      });
  onPath("sync", "copy PATH's address from .gitmodules", nullptr, [a] { return GitExecSubmoduleOperation::sync(a->path); });
  onPath(
      "deinit", "unregister PATH and empty its folder",
      [a](CLI::App& verb) { verb.add_flag("-f,--force", a->force, "even with local changes"); },
      [a] { return GitExecSubmoduleOperation::deinit(a->path, a->force); });
  return verbs;
}

} // namespace tavrik::cli
