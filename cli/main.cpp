// tavrik: inspect a repository through the Tavrik engine, the way a desktop
// client drives it: one GitQueue per repository, operations added to it,
// results read from their futures and the queue's view.
#include "CommandVerbs.h"
#include "HistoryVerbs.h"
#include "Interruption.h"
#include "tavrik/Json/GitJson.h"
#include "ProgressBar.h"
#include "RemoteVerbs.h"
#include "RepositoryToolVerbs.h"
#include "TextOutput.h"
#include "WatchVerb.h"

#include "tavrik/Commands/GitExecRevListCountOperation.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Process/GitPrefix.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"
#include "tavrik/Queue/GitFindReadmeOperation.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/TavrikError.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <iostream>
#include <sstream>

using namespace tavrik;
using cli::runOn;
using nlohmann::json;

namespace {

struct Options {
  std::optional<std::string> prefix;
  std::string directory = ".";
  bool json = false;
  bool verbose = false;
  bool ignored = false;
  std::string left, right;
};

// Prints view changes when --verbose is given.
class ChangePrinter : public GitQueueObserver {
public:
  void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects aspects) override {
    std::fprintf(stderr, "view changed: %s\n", aspects.debugDescription().c_str());
  }
};

// Names that are not UTF-8 would make the dump throw; their invalid bytes
// become U+FFFD so the document stays valid JSON. Indentation only helps a
// person at a terminal, and costs much on a large status.
bool outputIsTerminal() {
  static const bool terminal = isatty(STDOUT_FILENO);
  return terminal;
}

void print(const std::string& compact) { std::cout << (outputIsTerminal() ? indentedJson(compact) : compact) << "\n"; }
void print(const json& value) { print(value.dump(-1, ' ', false, json::error_handler_t::replace)); }

// Lists of many thousand records go out record by record; only a person at a
// terminal gets them re-read and indented.
template <class Records> void printRecords(const Records& records) {
  if (!outputIsTerminal()) {
    writeJson(std::cout, records);
    std::cout << "\n";
    return;
  }
  std::ostringstream compact;
  writeJson(compact, records);
  print(compact.str());
}

// The verbs that read the repository's state into the view and print it.
void addReadingVerbs(CLI::App& app, cli::VerbAction& action, const cli::AddCommon& addCommon,
                     const std::shared_ptr<Options>& options) {
  addCommon(app.add_subcommand("describe", "where the repository's worktree and git directories are"))
      ->callback([&action] {
        action = [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
          const auto& descriptor = *queue->descriptor();
          asJson ? print(toJson(descriptor)) : cli::printDescriptor(out, descriptor);
        };
      });
  auto status = addCommon(app.add_subcommand("status", "working-tree status, like git status --short"));
  status->add_flag("--ignored", options->ignored, "list ignored files too");
  status->callback([&action, options] {
    action = [options](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
      auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>(options->ignored));
      static const GitStatusList kNoEntries;
      const GitStatusList& list = status ? *status : kNoEntries;
      asJson ? printRecords(list) : cli::printStatus(out, list);
    };
  });
  addCommon(app.add_subcommand("refs", "branches, remote branches and tags with ahead/behind counts"))
      ->callback([&action] {
        action = [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
          auto refs = runOn(queue, makeOperation<GitViewRefsOperation>());
          asJson ? printRecords(refs) : cli::printRefs(out, refs);
        };
      });
  addCommon(app.add_subcommand("head", "HEAD, ORIG_HEAD, MERGE_HEAD and any operation in progress"))
      ->callback([&action] {
        action = [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
          auto heads = runOn(queue, makeOperation<GitViewHeadOperation>());
          asJson ? print(toJson(heads)) : cli::printHeads(out, heads);
        };
      });
  auto count = addCommon(app.add_subcommand("count", "commits only in <left> and only in <right>"));
  count->add_option("left", options->left, "left revision")->required();
  count->add_option("right", options->right, "right revision")->required();
  count->callback([&action, options] {
    action = [options](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
      auto count = runOn(queue, makeOperation<GitExecRevListCountOperation>(options->left, options->right, std::nullopt));
      asJson ? print(toJson(count)) : void(out << count.left << "\t" << count.right << "\n");
    };
  });
  addCommon(app.add_subcommand("readme", "the readme file of the working tree"))->callback([&action] {
    action = [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
      auto readme = runOn(queue, makeOperation<GitFindReadmeOperation>());
      if (asJson) {
        json o = json::object();
        if (readme) o["readmeURL"] = jsonSafe(readme->absoluteString());
        print(o);
      } else if (readme) {
        out << readme->path() << "\n";
      } else {
        throw TavrikError("No readme in " + queue->descriptor()->url.path());
      }
    };
  });
}

// The one dispatch: the parsed verb's action on a queue of the repository,
// or on one without a repository for a verb that needs none.
int run(const cli::VerbAction& action, const Options& options) {
  // Started from a shell, the client's own environment already is the login
  // shell's: probing one again would only cost its start-up.
  Shell::setDefaultShell(nullptr);
  Url prefix = resolveGitPrefix(options.prefix);

  // Discovery runs on a queue without a repository, as a client's repository
  // list does.
  auto discovery = GitQueue::create(std::nullopt, nullptr, prefix);
  cli::cancelOnInterrupt(discovery);
  auto queue = discovery;
  if (action.needsRepository) {
    auto descriptor = runOn(discovery, makeOperation<GitExecRepositoryDescriptorOperation>(
                                           Url::fileURL(options.directory, true)));
    queue = GitQueue::create(descriptor, nullptr, prefix);
    cli::cancelOnInterrupt(queue);
  }
  auto progress = std::make_shared<cli::ProgressBar>(stderr);
  auto progressToken = queue->addChangeObserver(progress, nullptr);
  std::shared_ptr<ChangePrinter> printer;
  std::optional<GitQueue::ObserverToken> printerToken;
  if (options.verbose && action.needsRepository) {
    printer = std::make_shared<ChangePrinter>();
    printerToken = queue->addChangeObserver(printer, nullptr);
  }

  action.run(queue, options.json, std::cout, *progress);

  queue->waitUntilAllOperationsAreFinished();
  progress->finish();
  queue->removeChangeObserver(progressToken);
  if (printerToken) queue->removeChangeObserver(*printerToken);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  // On the main thread, so the library's per-thread state is released at
  // exit rather than left with a worker thread.
  arbor::Repo::initializeLibrary();
  CLI::App app{"Inspect and change a git repository through the Tavrik engine."};
  app.require_subcommand(1);
  auto options = std::make_shared<Options>();
  app.add_option("--prefix", options->prefix, "git installation prefix (bin/git, libexec/git-core, ...)");
  app.add_option("-C", options->directory, "repository directory (default: the current directory)");
  auto addCommon = [&](CLI::App* sub) {
    sub->add_flag("--json", options->json, "print the record as JSON");
    sub->add_flag("-v,--verbose", options->verbose, "print the view changes the queue reports");
    return sub;
  };
  std::vector<std::string> args(argv, argv + argc);
  auto resetPaths = cli::takeResetPaths(args);
  // The verbs in the order `--help` lists them; each family's file holds the
  // options and action of its verbs.
  cli::VerbAction action;
  addReadingVerbs(app, action, addCommon, options);
  cli::addCommandVerbs(app, action, addCommon, resetPaths);
  cli::addHistoryVerbs(app, action, addCommon);
  cli::addRemoteVerbs(app, action, addCommon);
  cli::addSubmoduleListVerb(app, action, addCommon);
  cli::addFlowVerbs(app, action, addCommon);
  cli::addToolVerbs(app, action, addCommon);
  cli::addWatchVerb(app, action, addCommon);
  app.add_flag("--json", options->json, "print the record as JSON");
  app.add_flag("-v,--verbose", options->verbose, "print the view changes the queue reports");
  cli::takeArgumentsAsTyped(app, args);

  std::vector<char*> parsedArgv;
  for (auto& arg : args) parsedArgv.push_back(arg.data());
  CLI11_PARSE(app, static_cast<int>(parsedArgv.size()), parsedArgv.data());
  if (options->verbose) setDebugLoggingEnabled(true);
  // Log lines go to stderr in verbose mode, nowhere otherwise: a command-line
  // tool should not fill the system log.
  setLogSink([verbose = options->verbose](LogLevel, std::string_view category, std::string_view message) {
    if (verbose) std::fprintf(stderr, "[%.*s] %.*s\n", int(category.size()), category.data(), int(message.size()),
                              message.data());
  });

  int status = 1;
  try {
    cli::startInterruptWatch();
    status = run(action, *options);
  } catch (...) {
    // After a signal the failure is the cancel it asked for.
    if (!cli::receivedSignal())
      std::fprintf(stderr, "tavrik: %s\n", localizedDescription(std::current_exception()).c_str());
  }
  status = cli::finishWatching(status);
  if (int signal = cli::receivedSignal()) std::fprintf(stderr, "tavrik: %s\n", strsignal(signal));
  return status;
}
