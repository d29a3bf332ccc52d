#include "tavrik/Commands/FlowCommands.h"

#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Commands/RemoteCommands.h"
#include "tavrik/Commands/RepositoryCommands.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/State/GitViewExecConfigOperation.h"
#include "tavrik/Util/HashCombine.h"
#include "tavrik/Util/TavrikError.h"

#include <array>
#include <cctype>
#include <string_view>
#include <utility>

namespace tavrik {

namespace {

std::string capitalized(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

// git-flow hands its positional arguments back to itself through `eval` in
// single quotes, and the tag name of a finish through `eval` unquoted, so a
// quote, a "$(...)", a ";" or a blank in a name would run as shell code.
// Bytes from 0x80 up are no shell syntax and pass, so non-UTF-8 names stay.
void refuseShellSyntax(const std::string& what, const std::optional<std::string>& value) {
  if (!value) return;
  for (unsigned char c : *value) {
    if (c < 0x20 || c == 0x7f || std::string_view(" '\"`$;&|<>(){}*?[]\\").find(static_cast<char>(c)) !=
                                     std::string_view::npos)
      throw TavrikError("Invalid " + what + " \"" + *value + "\"",
                        "git-flow passes it through the shell, which would misread the character '" +
                            std::string(1, static_cast<char>(c)) + "'.");
  }
}

// git-flow reads these back from the configuration into text it evaluates
// (the origin and branch names into the help of its flags, in double quotes;
// the prefixes into branch names), so a value set by hand is checked as
// strictly as one given to init.
constexpr std::array<std::pair<const char*, const char*>, 9> kEvaluatedNames{{
    {"gitflow.origin", "remote"},
    {"gitflow.branch.master", "production branch"},
    {"gitflow.branch.develop", "integration branch"},
    {"gitflow.prefix.feature", "branch prefix"},
    {"gitflow.prefix.bugfix", "branch prefix"},
    {"gitflow.prefix.release", "branch prefix"},
    {"gitflow.prefix.hotfix", "branch prefix"},
    {"gitflow.prefix.support", "branch prefix"},
    {"gitflow.prefix.versiontag", "version tag prefix"},
}};

// Overrides of a finish's flags, which git-flow evaluates inside double
// quotes: there a blank is text, but "$", "`", '"' and "\" are shell syntax.
void refuseDoubleQuotedShellSyntax(const std::string& key, const std::optional<std::string>& value) {
  if (!value) return;
  auto at = value->find_first_of("$`\"\\");
  if (at != std::string::npos)
    throw TavrikError("Invalid value of " + key,
                      "git-flow passes it through the shell, which would misread the character '" +
                          std::string(1, (*value)[at]) + "'.");
}

// Whether `git config` has a value for the key; an unset of a missing key
// makes git exit with 5.
class GitExecConfigHasKeyOperation : public GitExecOperation<bool> {
public:
  explicit GitExecConfigHasKeyOperation(std::string key) : key(std::move(key)) {}
  const std::string key;

  std::vector<std::string> arguments(GitOperationContext&) override { return {"config", "--get-all", key}; }
  std::set<int> successStatuses() const override { return {0, 1}; }
  void checkStatus(int status, const std::optional<std::string>& text) override {
    status_ = status;
    GitExecRunner::checkStatus(status, text);
  }
  bool execute(GitOperationContext& context) override {
    runCommand(context);
    return status_ == 0;
  }

private:
  int status_ = -1;
};

bool localBranchExists(const arbor::Repo& repo, const std::string& name) {
  return arbor::Reference::exists("refs/heads/" + name, repo);
}

} // namespace

// MARK: init

GitExecFlowInitOperation::GitExecFlowInitOperation(GitFlowInitOptions options)
    : branchMaster(std::move(options.branchMaster)), branchDevelop(std::move(options.branchDevelop)),
      prefixFeature(std::move(options.prefixFeature)), prefixBugfix(std::move(options.prefixBugfix)),
      prefixRelease(std::move(options.prefixRelease)), prefixHotfix(std::move(options.prefixHotfix)),
      prefixSupport(std::move(options.prefixSupport)), prefixVersionTag(std::move(options.prefixVersionTag)),
      origin(std::move(options.origin)), hooksPath(std::move(options.hooksPath)) {}

std::optional<std::string> GitExecFlowInitOperation::title() const { return "Git Flow Init"; }

// Everything is configured and both branches exist when git-flow runs, so it
// only checks; "-d" keeps it from reading answers should it still ask.
std::vector<std::string> GitExecFlowInitOperation::arguments(GitOperationContext&) { return {"flow", "init", "-d"}; }

GitAspects GitExecFlowInitOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::config, GitAspects::reflogs};
}

void GitExecFlowInitOperation::validate(GitOperationContext&) {
  for (const auto& [what, name] :
       {std::pair{"production branch", &branchMaster}, {"integration branch", &branchDevelop}}) {
    if (name->empty()) throw TavrikError(std::string("Missing ") + what, "git-flow needs both branch names.");
    TavrikError::refuseOptionLikeArgument(what, *name);
  }
  if (branchMaster == branchDevelop)
    throw TavrikError("Same production and integration branch \"" + branchMaster + "\"",
                      "git-flow needs two different branches.");
  // git config would read a value that begins with "-" as an option.
  for (const auto* prefix : {&prefixFeature, &prefixBugfix, &prefixRelease, &prefixHotfix, &prefixSupport})
    TavrikError::refuseOptionLikeArgument("branch prefix", *prefix);
  TavrikError::refuseOptionLikeArgument("version tag prefix", prefixVersionTag);
  TavrikError::refuseOptionLikeArgument("remote", origin);
  TavrikError::refuseOptionLikeArgument("hooks folder", hooksPath);
  refuseShellSyntax("production branch", branchMaster);
  refuseShellSyntax("integration branch", branchDevelop);
  for (const auto* prefix : {&prefixFeature, &prefixBugfix, &prefixRelease, &prefixHotfix, &prefixSupport})
    refuseShellSyntax("branch prefix", *prefix);
  refuseShellSyntax("version tag prefix", prefixVersionTag);
  refuseShellSyntax("remote", origin);
}

pledge::Void GitExecFlowInitOperation::execute(GitOperationContext& context) {
  validate(context);
  const auto& descriptor = context.requireDescriptor();
  std::string hooks = hooksPath.value_or("");
  if (hooks.empty()) {
    hooks = descriptor.hooksURL().path();
    while (hooks.size() > 1 && hooks.back() == '/') hooks.pop_back();
  }

  GitConfigAction::Values values{{"gitflow.branch.master", branchMaster},
                                 {"gitflow.branch.develop", branchDevelop},
                                 {"gitflow.prefix.feature", prefixFeature},
                                 {"gitflow.prefix.bugfix", prefixBugfix},
                                 {"gitflow.prefix.release", prefixRelease},
                                 {"gitflow.prefix.hotfix", prefixHotfix},
                                 {"gitflow.prefix.support", prefixSupport},
                                 {"gitflow.prefix.versiontag", prefixVersionTag},
                                 {"gitflow.origin", origin},
                                 {"gitflow.path.hooks", hooks}};
  std::erase_if(values, [&](const auto& entry) {
    return !entry.second && !makeOperation<GitExecConfigHasKeyOperation>(entry.first)->execute(context);
  });
  makeOperation<GitConfigAction>(std::move(values))->execute(context);

  // Left to itself, git-flow guesses the branches among those that exist
  // ("main", "master", "integration"...) and overwrites the configuration
  // with its guess, or stops; with both branches in place it takes the
  // configured ones. Without any commit it makes the first one itself.
  bool createdDevelop = false;
  {
    auto repo = arbor::Repo::openAtPath(descriptor.gitURL.path());
    if (arbor::Reference::head(repo)) {
      const std::string remoteName = origin.value_or("origin");
      auto startFor = [&](const std::string& branch, const std::string& fallback) {
        std::string remoteBranch = remoteName + "/" + branch;
        return arbor::Reference::exists("refs/remotes/" + remoteBranch, repo) ? remoteBranch : fallback;
      };
      if (!localBranchExists(repo, branchMaster))
        GitExecBranchOperation::create(branchMaster, startFor(branchMaster, "HEAD"), false)->execute(context);
      if (!localBranchExists(repo, branchDevelop)) {
        GitExecBranchOperation::create(branchDevelop, startFor(branchDevelop, branchMaster), false)
            ->execute(context);
        createdDevelop = true;
      }
    }
  }

  runCommand(context);
  if (createdDevelop)
    makeOperation<GitExecCheckoutOperation>({.treeish = branchDevelop})
        ->execute(context);
  context.updatedAspects.formUnion(aspects());
  return {};
}

// MARK: flow commands

GitExecFlowOperation::GitExecFlowOperation(GitExecFlowOptions options)
    : GitExecAuthenticatedOperation(std::nullopt, false, std::move(options.auth), std::move(options.account)),
      noun(std::move(options.noun)),
      verb(std::move(options.verb)), fetch(options.fetch), noFastForward(options.noFastForward),
      message(std::move(options.message)), noTag(options.noTag), keep(options.keep),
      subject(std::move(options.subject)), base(std::move(options.base)) {}

std::shared_ptr<GitExecFlowOperation> GitExecFlowOperation::simple(std::string noun, std::string verb,
                                                                   std::string subject,
                                                                   std::shared_ptr<GitAuth> auth) {
  return makeOperation<GitExecFlowOperation>({.noun = std::move(noun), .verb = std::move(verb),
                                              .subject = std::move(subject), .auth = std::move(auth)});
}

std::optional<std::string> GitExecFlowOperation::title() const {
  return "Git Flow " + capitalized(noun) + " " + capitalized(verb);
}

std::vector<std::string> GitExecFlowOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"flow", noun, verb};
  if (fetch) args.emplace_back("-F");
  if (keep) args.emplace_back("-k");
  if (noFastForward) args.emplace_back("--no-ff");
  if (noTag) args.emplace_back("-n");
  // Without a message git-flow runs `git tag -a` with nothing to say: the
  // editor (":" when none is attached) leaves the message empty, git refuses
  // the tag, and git-flow stops after merging, before tagging. git-flow
  // (1.12.3, without a filter hook) appends the tag's name to the message,
  // so "Release" becomes "Release 1.0".
  std::optional<std::string> tagMessage = message;
  if (!tagMessage && !noTag && verb == "finish" && (noun == "release" || noun == "hotfix"))
    tagMessage = capitalized(noun);
  if (tagMessage) {
    args.emplace_back("-m");
    args.push_back(*tagMessage);
  }
  args.push_back(subject);
  if (base) args.push_back(*base);
  return args;
}

GitAspects GitExecFlowOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::reflogs};
}

void GitExecFlowOperation::validate(GitOperationContext&) {
  TavrikError::refuseOptionLikeArgument("git-flow branch kind", noun);
  TavrikError::refuseOptionLikeArgument("git-flow command", verb);
  TavrikError::refuseOptionLikeArgument("name", subject);
  TavrikError::refuseOptionLikeArgument("base", base);
  TavrikError::refuseOptionLikeArgument("message", message);
  if (subject.empty()) throw TavrikError("Missing name", "git-flow commands here name their branch.");
  refuseShellSyntax("git-flow branch kind", noun);
  refuseShellSyntax("git-flow command", verb);
  refuseShellSyntax("name", subject);
  refuseShellSyntax("base", base);
  // The message reaches the shell inside single quotes: only a quote ends it.
  if (message && message->find('\'') != std::string::npos)
    throw TavrikError("Invalid message", "git-flow passes the message through the shell in single quotes, so it "
                                         "cannot contain a single quote.");
}

pledge::Void GitExecFlowOperation::execute(GitOperationContext& context) {
  // Read fresh: the configuration may have changed since the view last looked.
  const auto config = makeOperation<GitViewExecConfigOperation>()->execute(context);
  if (config) {
    for (auto [key, what] : kEvaluatedNames) refuseShellSyntax(what, config->value(key));
    for (const char* flag : {"message", "messagefile", "signingkey"}) {
      for (const char* scope : {"finish", "branch"}) {
        const std::string key = "gitflow." + noun + "." + scope + "." + flag;
        refuseDoubleQuotedShellSyntax(key, config->value(key));
      }
    }
  }
  if (!remote) remote = (config ? config->gitflowOrigin() : std::nullopt).value_or("origin");
  runAndReport(context);
  return {};
}

std::shared_ptr<GitExecFlowOperation> withViewAccount(std::shared_ptr<GitExecFlowOperation> operation,
                                                      const GitQueue& queue) {
  const GitView view = queue.view();
  auto remote = operation->remote;
  if (!remote) remote = (view.config ? view.config->gitflowOrigin() : std::nullopt).value_or("origin");
  operation->account = remoteAccountInView(view, remote);
  return operation;
}

// MARK: flow references

std::optional<GitFlowRef> GitFlowRef::make(const GitRef& ref, const GitConfigSnapshot& config) {
  constexpr std::string_view kHeads = "refs/heads/";
  if (!ref.name.starts_with(kHeads)) return std::nullopt;
  const std::string name = ref.name.substr(kHeads.size());
  for (auto [key, category] : {std::pair{"gitflow.prefix.feature", GitFlowCategory::feature},
                               {"gitflow.prefix.bugfix", GitFlowCategory::bugfix},
                               {"gitflow.prefix.hotfix", GitFlowCategory::hotfix},
                               {"gitflow.prefix.release", GitFlowCategory::release}}) {
    auto prefix = config.value(key);
    // An empty prefix would make every branch a feature.
    if (!prefix || prefix->empty()) continue;
    if (name.size() > prefix->size() && name.starts_with(*prefix))
      return GitFlowRef{ref, category, name.substr(prefix->size())};
  }
  return std::nullopt;
}

} // namespace tavrik

size_t std::hash<tavrik::GitFlowRef>::operator()(const tavrik::GitFlowRef& r) const noexcept {
  using tavrik::detail::hashMix;
  return hashMix(hashMix(std::hash<tavrik::GitRef>{}(r.ref), static_cast<size_t>(r.category)),
                 std::hash<std::string>{}(r.strippedName));
}
