#include "RepositoryToolVerbs.h"

#include "CommandVerbs.h"

#include "tavrik/Commands/FlowCommands.h"
#include "tavrik/Json/GitJson.h"
#include "tavrik/Process/GitSocketAuth.h"

#include <unistd.h>

namespace tavrik::cli {

namespace {

// git-flow's own summary ("Summary of actions: ..."), as it printed it.
void printOutput(const std::string& output, bool json, std::ostream& out) {
  if (!json) {
    out << output;
    return;
  }
  out << flowOutputJson(output) << "\n";
}

std::optional<std::string> nonEmpty(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional(text);
}

} // namespace

std::vector<VerbSpec> flowVerbs() {
  struct Args {
    GitFlowInitOptions init;
    std::string versionTag, origin, hooks;
    std::string name, base, message;
    bool defaults = false, keep = false, noFF = false, fetch = false, noTag = false;
  };
  auto a = std::make_shared<Args>();

  std::vector<VerbSpec> verbs = {
      verbGroup("flow", "git-flow: init, and start, finish or publish its branches"),
      {"flow init", "set the repository up for git-flow",
       [a](CLI::App& verb) {
         verb.add_flag("-d,--defaults", a->defaults, "git-flow's default names for what is not named");
         verb.add_option("--master", a->init.branchMaster, "production branch")->capture_default_str();
         verb.add_option("--develop", a->init.branchDevelop, "integration branch")->capture_default_str();
         verb.add_option("--feature", a->init.prefixFeature, "feature branch prefix")->capture_default_str();
         verb.add_option("--bugfix", a->init.prefixBugfix, "bugfix branch prefix")->capture_default_str();
         verb.add_option("--release", a->init.prefixRelease, "release branch prefix")->capture_default_str();
         verb.add_option("--hotfix", a->init.prefixHotfix, "hotfix branch prefix")->capture_default_str();
         verb.add_option("--support", a->init.prefixSupport, "support branch prefix")->capture_default_str();
         verb.add_option("--tag", a->versionTag, "version tag prefix");
         verb.add_option("--origin", a->origin, "remote git-flow works with (default: origin)");
         verb.add_option("--hooks", a->hooks, "hooks and filters folder (default: the repository's)");
       },
       [a](const CLI::App&) -> VerbRun {
         // Nothing is asked, so --defaults changes nothing: what the options do
         // not name is git-flow's default.
         return [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           auto options = a->init;
           options.prefixVersionTag = a->versionTag;
           options.origin = nonEmpty(a->origin);
           options.hooksPath = nonEmpty(a->hooks);
           auto op = makeOperation<GitExecFlowInitOperation>(std::move(options));
           runOn(queue, op);
           printOutput(op->stdOutBuffer->data(), json, out);
         };
       }},
  };

  for (const std::string kind : {"feature", "bugfix", "release", "hotfix", "support"}) {
    verbs.push_back(verbGroup("flow " + kind, "start, finish or publish a " + kind + " branch"));
    for (const std::string verbName : {"start", "finish", "publish"}) {
      verbs.push_back(
          {"flow " + kind + " " + verbName, verbName + " the " + kind + " NAME",
           [a](CLI::App& verb) {
             verb.add_option("name", a->name, "the branch's name without its prefix")->required();
             verb.add_option("base", a->base, "what a start branches from (default: git-flow's)");
             verb.add_option("-m,--message", a->message, "tag message of a release or hotfix finish");
             verb.add_flag("-k,--keep", a->keep, "keep the branch after a finish");
             verb.add_flag("--no-ff", a->noFF, "always merge with a merge commit");
             verb.add_flag("-F,--fetch", a->fetch, "fetch from the remote first");
             verb.add_flag("-n,--no-tag", a->noTag, "finish a release or hotfix without a tag");
           },
           [a, kind, verbName](const CLI::App&) -> VerbRun {
             return [a, kind, verbName](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
               // The remote git-flow fetches from comes from the view's configuration.
               queue->updateViewFor(GitAspects::config);
               queue->waitUntilAllOperationsAreFinished();
               auto auth = GitSocketAuth::create(
                   [](const std::string& prompt) { return answerPrompt(prompt, STDIN_FILENO, stderr); });
               auto op = makeOperation<GitExecFlowOperation>({.noun = kind, .verb = verbName, .fetch = a->fetch,
                                                              .noFastForward = a->noFF,
                                                              .message = nonEmpty(a->message), .noTag = a->noTag,
                                                              .keep = a->keep, .subject = a->name,
                                                              .base = nonEmpty(a->base), .auth = auth});
               // A finish merges and tags, signing as the configuration says.
               op->signingAuth = auth;
               runOn(queue, withViewAccount(op, *queue));
               printOutput(op->stdOutBuffer->data(), json, out);
             };
           }});
    }
  }
  return verbs;
}

} // namespace tavrik::cli
