#include "tavrik/Commands/RemoteCommands.h"

#include "tavrik/Process/GitRemoteNotifications.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace tavrik {

namespace {

void addIf(std::vector<std::string>& args, bool flag, const char* option) {
  if (flag) args.emplace_back(option);
}

void addIf(std::vector<std::string>& args, const std::optional<std::string>& value) {
  if (value) args.push_back(*value);
}

void refuseRemoteAndRefspec(const std::optional<std::string>& remote, const std::optional<std::string>& refspec) {
  TavrikError::refuseOptionLikeArgument("remote", remote);
  TavrikError::refuseOptionLikeArgument("refspec", refspec);
}

std::string quotedName(const std::optional<std::string>& remote) { return "\"" + remote.value_or("HEAD") + "\""; }

// A query a transfer runs inline around its git command: standard output, or
// nullopt when git answers "no" with status 1.
class GitExecInlineQuery : public GitExecOperation<std::optional<std::string>> {
public:
  explicit GitExecInlineQuery(std::vector<std::string> args, std::optional<std::string> input = std::nullopt)
      : args_(std::move(args)), input_(std::move(input)) {}
  std::vector<std::string> arguments(GitOperationContext&) override { return args_; }
  std::optional<std::string> standardInputData() override { return input_; }
  std::set<int> successStatuses() const override { return {0, 1}; }
  void checkStatus(int status, const std::optional<std::string>& text) override {
    status_ = status;
    GitExecRunner::checkStatus(status, text);
  }
  std::optional<std::string> execute(GitOperationContext& context) override {
    runCommand(context);
    if (status_ != 0) return std::nullopt;
    return stdOutBuffer->data();
  }

private:
  std::vector<std::string> args_;
  std::optional<std::string> input_;
  int status_ = 0;
};

std::optional<std::string> query(GitOperationContext& context, std::vector<std::string> args,
                                 std::optional<std::string> input = std::nullopt) {
  return makeOperation<GitExecInlineQuery>(std::move(args), std::move(input))->execute(context);
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Commit tips by reference name. Ref names hold no control characters, so
// one line per reference is unambiguous.
using Tips = std::map<std::string, std::string>;

Tips commitTips(GitOperationContext& context, const std::vector<std::string>& namespaces) {
  std::vector<std::string> args{"for-each-ref", "--format=%(objectname) %(objecttype) %(*objecttype) %(refname)"};
  args.insert(args.end(), namespaces.begin(), namespaces.end());
  Tips tips;
  std::istringstream lines(query(context, std::move(args)).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string oid, type, peeledType, name;
    fields >> oid >> type;
    fields.get();
    // An unpeelable object leaves the peeled type empty: two spaces.
    if (fields.peek() != ' ') fields >> peeledType;
    fields.get();
    std::getline(fields, name);
    if (type == "commit" || peeledType == "commit") tips[name] = oid;
  }
  return tips;
}

// Commits reachable from the tips that appeared or moved and from none of
// the tips before: what arrived on (or was sent to) the remote.
int64_t commitsGained(GitOperationContext& context, const Tips& before, const Tips& after) {
  std::string revisions;
  for (const auto& [name, oid] : after) {
    auto old = before.find(name);
    if (old == before.end() || old->second != oid) revisions += oid + "\n";
  }
  if (revisions.empty()) return 0;
  for (const auto& [name, oid] : before) revisions += "^" + oid + "\n";
  // On standard input: a repository with many remote branches would overflow the command line.
  auto count = query(context, {"rev-list", "--count", "--stdin"}, revisions);
  return count ? std::stoll("0" + firstLine(*count)) : 0;
}

const std::vector<std::string> kTransferredNamespaces{"refs/remotes/", "refs/tags/"};

} // namespace

GitRemoteAccount remoteAccountInView(const GitView& view, const std::optional<std::string>& remote) {
  GitRemoteAccount account;
  if (remote) account.remoteName = *remote;
  else if (auto headRemote = view.headRemote()) account.remoteName = headRemote->name;
  else account.remoteName = "origin";
  if (view.config) {
    auto accounts = view.config->remoteSerivceAccounts();
    if (auto it = accounts.find(account.remoteName); it != accounts.end()) account.uuid = it->second;
  }
  return account;
}

std::shared_ptr<GitNotification> GitExecTransferCommand::keepNotification(std::shared_ptr<GitRemoteNotification> note) {
  std::lock_guard lock(noteLock_);
  note_ = note;
  return note;
}

void GitExecTransferCommand::reportMoved(GitOperationContext& context, int64_t count) {
  std::shared_ptr<GitRemoteNotification> note;
  {
    std::lock_guard lock(noteLock_);
    note = note_;
  }
  if (!note) return;
  note->setMovedCount(count);
  const bool namesHead = !note->remote || (note->kind != GitRemoteNotification::Kind::fetch && !note->refspec);
  if (count < 1 || !namesHead) return;
  auto branch = query(context, {"symbolic-ref", "-q", "HEAD"});
  if (!branch) return;
  const std::string name = firstLine(*branch);
  // NUL-separated: a reference name may hold any byte but NUL and a few
  // others. A name with glob characters may match more than itself.
  auto lines = query(context, {"for-each-ref", "--format=%(refname)%00%(upstream:remotename)%00%(upstream)", name});
  std::istringstream in(lines.value_or(""));
  for (std::string line; std::getline(in, line);) {
    const size_t first = line.find('\0');
    const size_t second = first == std::string::npos ? first : line.find('\0', first + 1);
    if (second == std::string::npos || line.compare(0, first, name) != 0 || first != name.size()) continue;
    std::string remote = line.substr(first + 1, second - first - 1);
    std::string upstream = line.substr(second + 1);
    // "." is the repository itself, no remote.
    note->setHeadUpstream(remote.empty() || remote == "." ? std::nullopt : std::optional(remote),
                          upstream.empty() ? std::nullopt : std::optional(upstream));
    return;
  }
}

std::vector<std::string> GitExecTransferCommand::receivingPhases() {
  return {"remote: Counting objects:", "remote: Compressing objects:", "Receiving objects:", "Resolving deltas:"};
}

std::vector<std::string> GitExecTransferCommand::progressPhases() const { return receivingPhases(); }

// MARK: fetch

GitExecFetchOperation::GitExecFetchOperation(GitExecFetchOptions options)
    : GitExecTransferCommand(std::move(options.remote), false, std::move(options.auth), std::move(options.account)),
      tags(options.tags),
      prune(options.prune), refspec(std::move(options.refspec)) {}

std::optional<std::string> GitExecFetchOperation::title() const { return "Fetch " + quotedName(remote); }

std::vector<std::string> GitExecFetchOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"fetch", "--progress"};
  addIf(args, tags, "--tags");
  addIf(args, prune, "--prune");
  addIf(args, remote);
  addIf(args, refspec);
  return args;
}

GitAspects GitExecFetchOperation::aspects() const {
  return {GitAspects::head, GitAspects::refs, GitAspects::logDescriptor, GitAspects::reflogs};
}

void GitExecFetchOperation::validate(GitOperationContext&) { refuseRemoteAndRefspec(remote, refspec); }

pledge::Void GitExecFetchOperation::execute(GitOperationContext& context) {
  validate(context);
  auto before = commitTips(context, kTransferredNamespaces);
  runAndReport(context);
  reportMoved(context, commitsGained(context, before, commitTips(context, kTransferredNamespaces)));
  return {};
}

std::shared_ptr<GitNotification> GitExecFetchOperation::notification() {
  return keepNotification(std::make_shared<GitFetchNotification>(remote));
}

// MARK: pull

GitExecPullOperation::GitExecPullOperation(GitExecPullOptions options)
    : GitExecTransferCommand(std::move(options.remote), false, std::move(options.auth), std::move(options.account)),
      refspec(std::move(options.refspec)), rebase(options.rebase), noFastForward(options.noFastForward),
      squash(options.squash), autostash(options.autostash), force(options.force) {}

std::optional<std::string> GitExecPullOperation::title() const { return "Pull " + quotedName(remote); }

std::vector<std::string> GitExecPullOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"pull", "--progress"};
  addIf(args, rebase, "--rebase");
  addIf(args, noFastForward, "--no-ff");
  addIf(args, squash, "--squash");
  addIf(args, autostash, "--autostash");
  addIf(args, force, "--force");
  addIf(args, remote);
  addIf(args, refspec);
  return args;
}

GitAspects GitExecPullOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::logDescriptor, GitAspects::reflogs};
}

void GitExecPullOperation::validate(GitOperationContext&) { refuseRemoteAndRefspec(remote, refspec); }

pledge::Void GitExecPullOperation::execute(GitOperationContext& context) {
  validate(context);
  auto head = query(context, {"rev-parse", "-q", "--verify", "HEAD^{commit}"});
  runAndReport(context);
  // FETCH_HEAD names first what the pull merged or rebased onto; a rebase
  // rewrites the branch's own commits, so counting HEAD's new commits would
  // count those too.
  std::vector<std::string> args{"rev-list", "--count", "FETCH_HEAD"};
  if (head) args.push_back("^" + firstLine(*head));
  args.emplace_back("--");
  auto count = query(context, std::move(args));
  reportMoved(context, count ? std::stoll("0" + firstLine(*count)) : 0);
  return {};
}

std::shared_ptr<GitNotification> GitExecPullOperation::notification() {
  return keepNotification(std::make_shared<GitPullNotification>(remote, refspec));
}

// MARK: push

GitExecPushOperation::GitExecPushOperation(std::shared_ptr<GitAuth> auth)
    : GitExecPushOperation(GitExecPushOptions{.auth = std::move(auth)}) {}

GitExecPushOperation::GitExecPushOperation(GitExecPushOptions options)
    : GitExecTransferCommand(std::move(options.remote), true, std::move(options.auth), std::move(options.account)),
      refspec(std::move(options.refspec)), tags(options.tags), force(options.force),
      forceWithLease(options.forceWithLease), deleteRemote(options.deleteRef) {}

std::shared_ptr<GitExecPushOperation> GitExecPushOperation::deleteRef(const GitRef& ref,
                                                                      std::shared_ptr<GitAuth> auth) {
  // "refs/remotes/<remote>/<branch>": the remote is the first component.
  const std::string prefix = "refs/remotes/";
  size_t slash = ref.name.find('/', prefix.size());
  if (!ref.name.starts_with(prefix) || slash == std::string::npos || slash + 1 == ref.name.size())
    throw TavrikError("Not a remote branch: " + ref.name, "Only a remote-tracking branch names a remote branch.");
  std::string remote = ref.name.substr(prefix.size(), slash - prefix.size());
  std::string branch = "refs/heads/" + ref.name.substr(slash + 1);
  return makeOperation<GitExecPushOperation>(
      {.remote = std::move(remote), .refspec = std::move(branch), .auth = std::move(auth), .deleteRef = true});
}

std::shared_ptr<GitExecPushOperation> GitExecPushOperation::deleteTag(const std::string& tag,
                                                                      std::optional<std::string> remote,
                                                                      std::shared_ptr<GitAuth> auth) {
  return makeOperation<GitExecPushOperation>(
      {.remote = std::move(remote), .refspec = "refs/tags/" + tag, .auth = std::move(auth), .deleteRef = true});
}

std::optional<std::string> GitExecPushOperation::title() const {
  std::string title = "Push";
  if (remote) title += " " + *remote;
  if (refspec) title += " " + *refspec;
  return title;
}

std::vector<std::string> GitExecPushOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"push", "-u", "--progress"};
  addIf(args, tags, "--tags");
  addIf(args, force, "--force");
  addIf(args, forceWithLease, "--force-with-lease");
  addIf(args, deleteRemote, "--delete");
  addIf(args, pushRemote_);
  addIf(args, pushRefspec_);
  return args;
}

std::optional<std::string> GitExecPushOperation::accountRemote() const { return pushRemote_; }

pledge::Void GitExecPushOperation::execute(GitOperationContext& context) {
  validate(context);
  pushRemote_ = remote;
  pushRefspec_ = refspec;
  if (!refspec && !deleteRemote && !tags) {
    auto branch = query(context, {"symbolic-ref", "-q", "HEAD"});
    auto name = branch ? firstLine(*branch) : "";
    const std::string heads = "refs/heads/";
    const bool hasUpstream =
        name.starts_with(heads) &&
        query(context, {"config", "--get", "branch." + name.substr(heads.size()) + ".merge"}).has_value();
    if (name.starts_with(heads) && !hasUpstream) {
      if (!pushRemote_) {
        std::vector<std::string> remotes;
        std::istringstream lines(query(context, {"remote"}).value_or(""));
        for (std::string line; std::getline(lines, line);) remotes.push_back(line);
        if (std::find(remotes.begin(), remotes.end(), "origin") != remotes.end()) pushRemote_ = "origin";
        else if (remotes.size() == 1) pushRemote_ = remotes.front();
        else if (remotes.size() > 1)
          throw TavrikError("No remote to push to",
                            "The branch has no upstream and there is no \"origin\": name the remote to push to.");
      }
      if (pushRemote_) pushRefspec_ = name;
    }
  }
  auto before = commitTips(context, {"refs/remotes/"});
  runAndReport(context);
  reportMoved(context, commitsGained(context, before, commitTips(context, {"refs/remotes/"})));
  return {};
}

GitAspects GitExecPushOperation::aspects() const {
  return {GitAspects::head, GitAspects::refs, GitAspects::logDescriptor};
}

void GitExecPushOperation::validate(GitOperationContext&) { refuseRemoteAndRefspec(remote, refspec); }

std::shared_ptr<GitNotification> GitExecPushOperation::notification() {
  return keepNotification(std::make_shared<GitPushNotification>(remote, refspec));
}

std::vector<std::string> GitExecPushOperation::progressPhases() const {
  return {"Counting objects:", "Compressing objects:", "Writing objects:", "remote: Resolving deltas:"};
}

// MARK: clone

GitExecCloneOperation::GitExecCloneOperation(GitExecCloneOptions options)
    : GitExecTransferCommand(std::nullopt, false, std::move(options.auth)), url(std::move(options.url)),
      directory(std::move(options.directory)), depth(options.depth), noTags(options.noTags),
      recurseSubmodules(options.recurseSubmodules), shallowSubmodules(options.shallowSubmodules) {}

std::optional<std::string> GitExecCloneOperation::title() const {
  return "Cloning into " + directory.lastPathComponent();
}

std::vector<std::string> GitExecCloneOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"clone", "--progress"};
  if (depth) {
    args.emplace_back("--depth");
    args.push_back(std::to_string(*depth));
  }
  addIf(args, noTags, "--no-tags");
  addIf(args, recurseSubmodules, "--recurse-submodules");
  addIf(args, shallowSubmodules, "--shallow-submodules");
  args.emplace_back("--");
  auto split = splitURLPassword(url);
  args.push_back(split ? split->address : url);
  args.push_back(directory.path());
  return args;
}

std::map<std::string, std::string> GitExecCloneOperation::environment(GitOperationContext& context) {
  auto env = GitExecTransferCommand::environment(context);
  auto split = splitURLPassword(url);
  if (!passwordBridge_ || !split) return env;
  // Scoped to the address's host, and the helpers configured there reset
  // first: git asks no other helper for it, and stores it in none.
  // "!" runs the rest through the shell; without it git would read a
  // quoted path as the name of a "git credential-" program.
  std::string quoted = "!'";
  for (char c : env["GIT_ASKPASS"]) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "' --credential";
  const std::string key = "credential." + split->scheme + "://" + split->host + ".helper";
  int count = 0;
  if (auto it = env.find("GIT_CONFIG_COUNT"); it != env.end()) count = std::atoi(it->second.c_str());
  for (const std::string& value : {std::string(), quoted}) {
    env["GIT_CONFIG_KEY_" + std::to_string(count)] = key;
    env["GIT_CONFIG_VALUE_" + std::to_string(count)] = value;
    ++count;
  }
  env["GIT_CONFIG_COUNT"] = std::to_string(count);
  auto bridge = passwordBridge_->credentialEnvironment();
  env["TAVRIK_CREDENTIAL_SOCKET"] = bridge[GitSocketAuth::kSocketVariable];
  env["TAVRIK_CREDENTIAL_TOKEN"] = bridge[GitSocketAuth::kTokenVariable];
  return env;
}

pledge::Void GitExecCloneOperation::execute(GitOperationContext& context) {
  auto split = splitURLPassword(url);
  if (!split) return GitExecTransferCommand::execute(context);
  const std::string userPrompt = "Username for '" + split->scheme + "://" + split->host + "': ";
  const std::string passwordPrompt = "Password for '" + split->scheme + "://" +
                                     (split->user.empty() ? "" : split->user + "@") + split->host + "': ";
  passwordBridge_ = GitSocketAuth::create([=](const std::string& prompt) -> std::optional<std::string> {
    if (prompt == userPrompt) return split->user;
    if (prompt == passwordPrompt) return split->password;
    return std::nullopt;
  });
  passwordBridge_->beginSession(std::nullopt);
  try {
    runAndReport(context);
  } catch (...) {
    passwordBridge_->endSession();
    passwordBridge_.reset();
    throw;
  }
  passwordBridge_->endSession();
  passwordBridge_.reset();
  return {};
}

void GitExecCloneOperation::validate(GitOperationContext&) {
  // After "--" git takes it as an address, but the submodules it clones
  // would get the same text without one.
  TavrikError::refuseOptionLikeArgument("address", url);
  if (!directory.isFileURL()) throw TavrikError("Invalid folder", "A clone goes into a local folder.");
  if (depth && *depth < 1) throw TavrikError("Invalid depth " + std::to_string(*depth), "The depth must be positive.");
}

std::optional<Url> GitExecCloneOperation::workingDirectoryURL(GitOperationContext&) {
  return directory.deletingLastPathComponent();
}

// MARK: submodule add

GitExecSubmoduleAddOperation::GitExecSubmoduleAddOperation(GitExecSubmoduleAddOptions options)
    : GitExecTransferCommand(std::nullopt, false, std::move(options.auth)), url(std::move(options.url)),
      path(std::move(options.path)), branch(std::move(options.branch)) {}

std::shared_ptr<GitExecSubmoduleAddOperation> GitExecSubmoduleAddOperation::add(std::string url, std::string path,
                                                                                 std::optional<std::string> branch,
                                                                                 std::shared_ptr<GitAuth> auth) {
  return makeOperation<GitExecSubmoduleAddOperation>(
      {.url = std::move(url), .path = std::move(path), .branch = std::move(branch), .auth = std::move(auth)});
}

std::optional<std::string> GitExecSubmoduleAddOperation::title() const { return "Cloning submodule to " + path; }

std::vector<std::string> GitExecSubmoduleAddOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"submodule", "add", "--progress", "--force"};
  if (branch) {
    args.emplace_back("--branch");
    args.push_back(*branch);
  }
  args.emplace_back("--");
  args.push_back(url);
  args.push_back(path);
  return args;
}

GitAspects GitExecSubmoduleAddOperation::aspects() const {
  // The new entry is staged in the index and .gitmodules.
  return {GitAspects::submodules, GitAspects::status, GitAspects::config};
}

void GitExecSubmoduleAddOperation::validate(GitOperationContext&) {
  TavrikError::refuseOptionLikeArgument("address", url);
  TavrikError::refuseOptionLikeArgument("branch", branch);
  // git would write it into .gitmodules, which is committed and shared.
  if (splitURLPassword(url))
    throw TavrikError("Invalid address \"" + withoutURLPasswords(url) + "\"",
                      "It carries a password, which git would record in .gitmodules.");
}

} // namespace tavrik
