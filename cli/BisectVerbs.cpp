#include "RepositoryToolVerbs.h"

#include "CommandVerbs.h"
#include "TextOutput.h"
#include "tavrik/Commands/BisectCommands.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Json/GitJson.h"
#include "tavrik/State/GitViewBisectOperation.h"

#include <algorithm>

namespace tavrik::cli {

namespace {

struct BisectArgs {
  std::string bad;
  std::vector<std::string> revisions, paths;
  std::optional<std::string> termOld, termNew;
};

void printLines(std::ostream& out, std::string_view text) {
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    out << shownText(text.substr(start, end - start)) << '\n';
    start = end + 1;
  }
}

// The state after the step: as git prints it ("Bisecting: N revisions left
// to test after this (roughly M steps)", or the first bad commit), or the
// state record read afresh for --json.
VerbRun step(std::function<GitExecBisectStepOptions()> options) {
  return [options](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
    auto operation = makeOperation<GitExecBisectStepOperation>(options());
    runOn(queue, operation);
    if (!json) return printLines(out, operation->stdOutBuffer->remaining());
    auto state = runOn(queue, makeOperation<GitViewBisectOperation>());
    out << (state ? toJson(*state) : "null") << "\n";
  };
}

} // namespace

std::vector<VerbSpec> bisectVerbs() {
  auto o = std::make_shared<BisectArgs>();
  std::vector<VerbSpec> verbs{
      verbGroup("bisect", "find the commit that introduced a change by bisection"),
      {"bisect start", "start bisecting between BAD and the GOOD revisions",
       [o](CLI::App& verb) {
         verb.add_option("bad", o->bad, "the bad revision")->required();
         verb.add_option("good", o->revisions, "the good revisions")->required();
         verb.add_option("--path", o->paths, "only commits that touch PATH");
         verb.add_option("--term-old", o->termOld, "the word for good");
         verb.add_option("--term-new", o->termNew, "the word for bad");
       },
       [o](const CLI::App&) -> VerbRun {
         return step([o] {
           return GitExecBisectStepOptions{.bad = o->bad, .revisions = o->revisions, .paths = o->paths,
                                           .termOld = o->termOld, .termNew = o->termNew};
         });
       }},
      {"bisect reset", "end the bisection and go back to where it started", nullptr,
       [](const CLI::App&) -> VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) {
           runOn(queue, GitExecBisectOperation::resetBisect());
         };
       }},
      {"bisect log", "show the steps of the bisection as git records them", nullptr,
       [](const CLI::App&) -> VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           const auto log = runOn(queue, makeOperation<GitExecBisectLogOperation>());
           if (json) return void(out << bisectLogJson(log) << "\n");
           printLines(out, log);
         };
       }},
      {"bisect run", "run CMD [ARG...] on each candidate until the first bad commit is found",
       [](CLI::App& verb) { verb.prefix_command(); },
       [](const CLI::App& verb) -> VerbRun {
         auto command = verb.remaining();
         if (command.empty()) throw CLI::ValidationError("bisect run", "needs the command to run");
         return step([command] {
           return GitExecBisectStepOptions{.action = GitBisectAction::run, .command = command};
         });
       }},
  };
  for (const auto& [name, action] : {std::pair{"good", GitBisectAction::good}, {"bad", GitBisectAction::bad},
                                     {"skip", GitBisectAction::skip}}) {
    verbs.push_back({std::string("bisect ") + name, std::string("mark REV (the candidate by default) ") + name,
                     [o](CLI::App& verb) { verb.add_option("rev", o->revisions, "the revisions"); },
                     [o, action](const CLI::App&) -> VerbRun {
                       return step([o, action] {
                         return GitExecBisectStepOptions{.action = action, .revisions = o->revisions};
                       });
                     }});
  }
  for (auto& verb : verbs) verb.readsObjects = false;
  return verbs;
}

} // namespace tavrik::cli
