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
#include "tavrik/Queue/GitExecRepositoryDescriptorOperation.h"
#include "tavrik/Queue/GitFindReadmeOperation.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/Log.h"

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

int run(const std::string& command, const Options& options, const cli::VerbAction& action,
        const cli::HistoryAction& historyAction, const cli::RemoteAction& remoteAction) {
  // Started from a shell, the client's own environment already is the login
  // shell's: probing one again would only cost its start-up.
  Shell::setDefaultShell(nullptr);
  Url prefix = resolveGitPrefix(options.prefix);

  // Discovery runs on a queue without a repository, as a client's repository
  // list does.
  auto discovery = GitQueue::create(std::nullopt, nullptr, prefix);
  cli::cancelOnInterrupt(discovery);
  if (remoteAction && !remoteAction.needsRepository) {
    // clone and init make the repository; a queue without one runs them.
    auto progress = std::make_shared<cli::ProgressBar>(stderr);
    auto progressToken = discovery->addChangeObserver(progress, nullptr);
    remoteAction.run(discovery, options.json, std::cout);
    discovery->waitUntilAllOperationsAreFinished();
    progress->finish();
    discovery->removeChangeObserver(progressToken);
    return 0;
  }
  auto descriptor = runOn(discovery, makeOperation<GitExecRepositoryDescriptorOperation>(
                                         Url::fileURL(options.directory, true)));

  auto queue = GitQueue::create(descriptor, nullptr, prefix);
  cli::cancelOnInterrupt(queue);
  auto progress = std::make_shared<cli::ProgressBar>(stderr);
  auto progressToken = queue->addChangeObserver(progress, nullptr);
  std::shared_ptr<ChangePrinter> printer;
  std::optional<GitQueue::ObserverToken> printerToken;
  if (options.verbose) {
    printer = std::make_shared<ChangePrinter>();
    printerToken = queue->addChangeObserver(printer, nullptr);
  }

  int status = 0;
  if (historyAction) {
    historyAction(queue, options.json, std::cout, *progress);
  } else if (action) {
    action(queue, options.json, std::cout);
  } else if (remoteAction) {
    remoteAction.run(queue, options.json, std::cout);
  } else if (command == "describe") {
    options.json ? print(toJson(descriptor)) : cli::printDescriptor(std::cout, descriptor);
  } else if (command == "status") {
    auto view = runOn(queue, makeOperation<GitViewExecStatusOperation>(options.ignored));
    static const GitStatusList kNoEntries;
    const GitStatusList& list = view.status ? *view.status : kNoEntries;
    options.json ? printRecords(list) : cli::printStatus(std::cout, list);
  } else if (command == "refs") {
    auto view = runOn(queue, makeOperation<GitViewRefsOperation>());
    options.json ? printRecords(view.refs) : cli::printRefs(std::cout, view.refs);
  } else if (command == "head") {
    auto view = runOn(queue, makeOperation<GitViewHeadOperation>());
    options.json ? print(toJson(view.headList)) : cli::printHeads(std::cout, view.headList);
  } else if (command == "count") {
    auto count = runOn(queue, makeOperation<GitExecRevListCountOperation>(options.left, options.right, std::nullopt));
    options.json ? print(toJson(count)) : void(std::cout << count.left << "\t" << count.right << "\n");
  } else if (command == "readme") {
    auto readme = runOn(queue, makeOperation<GitFindReadmeOperation>());
    if (options.json) {
      json o = json::object();
      if (readme) o["readmeURL"] = jsonSafe(readme->absoluteString());
      print(o);
    } else if (readme) {
      std::cout << readme->path() << "\n";
    } else {
      std::cerr << "no readme in " << descriptor.url.path() << "\n";
      status = 1;
    }
  }

  queue->waitUntilAllOperationsAreFinished();
  progress->finish();
  queue->removeChangeObserver(progressToken);
  if (printerToken) queue->removeChangeObserver(*printerToken);
  return status;
}

} // namespace

int main(int argc, char** argv) {
  // On the main thread, so the library's per-thread state is released at
  // exit rather than left with a worker thread.
  arbor::Repo::initializeLibrary();
  CLI::App app{"Inspect and change a git repository through the Tavrik engine."};
  app.require_subcommand(1);
  Options options;
  app.add_option("--prefix", options.prefix, "git installation prefix (bin/git, libexec/git-core, ...)");
  app.add_option("-C", options.directory, "repository directory (default: the current directory)");
  auto addCommon = [&](CLI::App* sub) {
    sub->add_flag("--json", options.json, "print the record as JSON");
    sub->add_flag("-v,--verbose", options.verbose, "print the view changes the queue reports");
    return sub;
  };
  addCommon(app.add_subcommand("describe", "where the repository's worktree and git directories are"));
  addCommon(app.add_subcommand("status", "working-tree status, like git status --short"))
      ->add_flag("--ignored", options.ignored, "list ignored files too");
  addCommon(app.add_subcommand("refs", "branches, remote branches and tags with ahead/behind counts"));
  addCommon(app.add_subcommand("head", "HEAD, ORIG_HEAD, MERGE_HEAD and any operation in progress"));
  auto count = addCommon(app.add_subcommand("count", "commits only in <left> and only in <right>"));
  count->add_option("left", options.left, "left revision")->required();
  count->add_option("right", options.right, "right revision")->required();
  addCommon(app.add_subcommand("readme", "the readme file of the working tree"));
  cli::VerbAction action;
  std::vector<std::string> args(argv, argv + argc);
  auto resetPaths = cli::takeResetPaths(args);
  cli::addCommandVerbs(app, action, addCommon, resetPaths);
  cli::HistoryAction historyAction;
  cli::addHistoryVerbs(app, historyAction, addCommon);
  cli::RemoteAction remoteAction;
  cli::addRemoteVerbs(app, remoteAction, addCommon);
  cli::addSubmoduleListVerb(app, remoteAction, addCommon);
  cli::addFlowVerbs(app, remoteAction, addCommon);
  cli::addToolVerbs(app, remoteAction, addCommon);
  cli::addWatchVerb(app, remoteAction, addCommon);
  app.add_flag("--json", options.json, "print the record as JSON");
  app.add_flag("-v,--verbose", options.verbose, "print the view changes the queue reports");
  cli::takeArgumentsAsTyped(app, args);

  std::vector<char*> parsedArgv;
  for (auto& arg : args) parsedArgv.push_back(arg.data());
  CLI11_PARSE(app, static_cast<int>(parsedArgv.size()), parsedArgv.data());
  if (options.verbose) setDebugLoggingEnabled(true);
  // Log lines go to stderr in verbose mode, nowhere otherwise: a command-line
  // tool should not fill the system log.
  setLogSink([verbose = options.verbose](LogLevel, std::string_view category, std::string_view message) {
    if (verbose) std::fprintf(stderr, "[%.*s] %.*s\n", int(category.size()), category.data(), int(message.size()),
                              message.data());
  });

  int status = 1;
  try {
    cli::startInterruptWatch();
    status = run(app.get_subcommands().front()->get_name(), options, action, historyAction, remoteAction);
  } catch (...) {
    // After a signal the failure is the cancel it asked for.
    if (!cli::receivedSignal())
      std::fprintf(stderr, "tavrik: %s\n", localizedDescription(std::current_exception()).c_str());
  }
  status = cli::finishWatching(status);
  if (int signal = cli::receivedSignal()) std::fprintf(stderr, "tavrik: %s\n", strsignal(signal));
  return status;
}
