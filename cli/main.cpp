// tavrik: inspect a repository through the Tavrik engine, the way a desktop
// client drives it: one GitQueue per repository, operations added to it,
// results read from their futures and the queue's view.
#include "CommandVerbs.h"
#include "HistoryVerbs.h"
#include "HistoryEditVerbs.h"
#include "JournalVerbs.h"
#include "Interruption.h"
#include "tavrik/Json/GitJson.h"
#include "ProgressBar.h"
#include "RemoteVerbs.h"
#include "RepositoryToolVerbs.h"
#include "TextOutput.h"
#include "WatchVerb.h"

#include "tavrik/State/GitExecRevListCountOperation.h"
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
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <iostream>
#include <sstream>

using namespace tavrik;
using cli::runOn;

namespace {

struct Options {
  std::optional<std::string> prefix;
  std::string directory = ".";
  bool json = false;
  bool verbose = false;
};

// Prints view changes when --verbose is given.
class ChangePrinter : public GitQueueObserver {
public:
  void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects aspects) override {
    std::fprintf(stderr, "view changed: %s\n", aspects.debugDescription().c_str());
  }
};

// Indentation only helps a person at a terminal, and costs much on a large
// status.
bool outputIsTerminal() {
  static const bool terminal = isatty(STDOUT_FILENO);
  return terminal;
}

void print(const std::string& compact) { std::cout << (outputIsTerminal() ? indentedJson(compact) : compact) << "\n"; }

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
std::vector<cli::VerbSpec> readingVerbs() {
  auto left = std::make_shared<std::string>(), right = std::make_shared<std::string>();
  auto ignored = std::make_shared<bool>(false);
  return {
      {"describe", "where the repository's worktree and git directories are", nullptr,
       [](const CLI::App&) -> cli::VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           const auto& descriptor = *queue->descriptor();
           asJson ? print(toJson(descriptor)) : cli::printDescriptor(out, descriptor);
         };
       },
       /*needsRepository=*/true, /*commonFlags=*/true, /*readsObjects=*/false},
      {"status", "working-tree status, like git status --short",
       [ignored](CLI::App& verb) { verb.add_flag("--ignored", *ignored, "list ignored files too"); },
       [ignored](const CLI::App&) -> cli::VerbRun {
         return [ignored](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           // The rows show no dates: the lookup of every file's date is spared.
           auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>(
                                          GitStatusReadOptions{.includeIgnored = *ignored, .modificationDates = asJson}));
           static const GitStatusList kNoEntries;
           const GitStatusList& list = status ? *status : kNoEntries;
           asJson ? printRecords(list) : cli::printStatus(out, list);
           cli::keepUntilExit(status.shared());
         };
       },
       /*needsRepository=*/true, /*commonFlags=*/true, /*readsObjects=*/false},
      {"refs", "branches, remote branches and tags with ahead/behind counts", nullptr,
       [](const CLI::App&) -> cli::VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           const auto refs = runOn(queue, makeOperation<GitViewRefsOperation>());
           asJson ? printRecords(*refs) : cli::printRefs(out, *refs);
           cli::keepUntilExit(refs.shared());
         };
       },
       /*needsRepository=*/true, /*commonFlags=*/true, /*readsObjects=*/false},
      {"head", "HEAD, ORIG_HEAD, MERGE_HEAD and any operation in progress", nullptr,
       [](const CLI::App&) -> cli::VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           auto heads = runOn(queue, makeOperation<GitViewHeadOperation>());
           asJson ? print(toJson(heads)) : cli::printHeads(out, heads);
         };
       },
       /*needsRepository=*/true, /*commonFlags=*/true, /*readsObjects=*/false},
      {"count", "commits only in <left> and only in <right>",
       [left, right](CLI::App& verb) {
         verb.add_option("left", *left, "left revision")->required();
         verb.add_option("right", *right, "right revision")->required();
       },
       [left, right](const CLI::App&) -> cli::VerbRun {
         return [left, right](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           auto count = runOn(queue, makeOperation<GitExecRevListCountOperation>(*left, *right, std::nullopt));
           asJson ? print(toJson(count)) : void(out << count.left << "\t" << count.right << "\n");
         };
       }},
      {"readme", "the readme file of the working tree", nullptr,
       [](const CLI::App&) -> cli::VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           auto readme = runOn(queue, makeOperation<GitFindReadmeOperation>());
           if (asJson) print(readmeJson(readme));
           else if (readme) out << readme->path() << "\n";
           else throw TavrikError("No readme in " + queue->descriptor()->url.path());
         };
       }},
  };
}

// The verb the command line names, when it names one of `verbs`: the first
// word that is not one of the client's own options.
std::optional<std::string> namedVerb(const std::vector<std::string>& args, const std::vector<cli::VerbSpec>& verbs) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--prefix" || word == "-C") {
      ++i;
      continue;
    }
    if (word.starts_with("--prefix=") || (word.starts_with("-C") && word.size() > 2) || word == "--json" ||
        word == "-v" || word == "--verbose")
      continue;
    for (const auto& verb : verbs)
      if (verb.name == word) return word;
    return std::nullopt;
  }
  return std::nullopt;
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
  auto journal = GitUndoJournal::make();
  cli::cancelOnInterrupt(discovery);
  auto queue = discovery;
  if (action.needsRepository) {
    auto descriptor = runOn(discovery, makeOperation<GitExecRepositoryDescriptorOperation>(
                                           Url::fileURL(options.directory, true)));
    queue = GitQueue::create(descriptor, nullptr, prefix);
    queue->setJournal(journal);
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
  cli::printUndoHint(*journal, isatty(STDERR_FILENO) && !options.json);
  queue->removeChangeObserver(progressToken);
  if (printerToken) queue->removeChangeObserver(*printerToken);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
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
  // The verbs in the order `--help` lists them; each family's file holds the
  // options and action of its verbs.
  std::vector<cli::VerbSpec> verbs;
  for (auto&& family : {readingVerbs(), cli::commandVerbs(cli::takeResetPaths(args)), cli::historyVerbs(),
                        cli::remoteVerbs(), cli::submoduleListVerbs(), cli::flowVerbs(), cli::toolVerbs(),
                        cli::worktreeVerbs(), cli::bisectVerbs(), cli::watchVerbs(), cli::historyEditVerbs(),
                        cli::journalVerbs()})
    verbs.insert(verbs.end(), family.begin(), family.end());
  // Building every verb's options costs more than the rest of the client's
  // start-up: when the command line names a verb, only its rows are built.
  // Without one (help, an unknown word) all are, so CLI11 lists them.
  const std::optional<std::string> named = namedVerb(args, verbs);
  cli::VerbAction action;
  for (const auto& verb : verbs) {
    if (named && verb.name.substr(0, verb.name.find(' ')) != *named) continue;
    // "stash list" goes below the "stash" added before it.
    CLI::App* parent = &app;
    std::string_view name = verb.name;
    for (auto space = name.find(' '); space != std::string_view::npos; space = name.find(' ')) {
      parent = parent->get_subcommand(std::string(name.substr(0, space)));
      name.remove_prefix(space + 1);
    }
    CLI::App* sub = parent->add_subcommand(std::string(name), verb.help);
    if (verb.commonFlags) addCommon(sub);
    if (verb.addOptions) verb.addOptions(*sub);
    if (!verb.action) {
      sub->require_subcommand(1);
      continue;
    }
    sub->callback([&action, &verb, sub] {
      // A nested verb's callback ran first and chose it.
      if (!sub->get_subcommands().empty()) return;
      action = {verb.action(*sub), verb.needsRepository, verb.readsObjects};
    });
  }
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
    // Before any queue exists, on this thread (see `VerbSpec::readsObjects`).
    if (action.readsObjects) arbor::Repo::initializeLibrary();
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
