#include "Process/GitStep.h"

#include "tavrik/Process/GitStdError.h"

namespace tavrik::detail {

namespace {

class GitStep : public GitExecOperation<std::string> {
public:
  explicit GitStep(GitStepOptions options) : options_(std::move(options)) {}
  std::vector<std::string> arguments(GitOperationContext&) override { return options_.arguments; }
  std::optional<std::string> standardInputData() override { return options_.input; }
  GitExecAccess access() const override { return options_.access; }
  std::set<int> successStatuses() const override { return options_.successStatuses; }
  std::map<std::string, std::string> environment(GitOperationContext& context) override {
    auto variables = GitExecRunner::environment(context);
    for (const auto& [name, value] : options_.variables) variables[name] = value;
    return variables;
  }
  void checkStatus(int status, const std::optional<std::string>& text) override {
    if (options_.failSilently && !options_.successStatuses.contains(status) && (!text || text->empty()))
      throw GitStdError(status, "git " + options_.arguments.front() + " failed");
    GitExecRunner::checkStatus(status, text);
  }
  std::string execute(GitOperationContext& context) override {
    runCommand(context);
    return std::string(stdOutBuffer->data());
  }

private:
  const GitStepOptions options_;
};

} // namespace

std::string runGitStep(GitOperationContext& context, GitStepOptions options) {
  auto signingAuth = std::move(options.signingAuth);
  auto step = makeOperation<GitStep>(std::move(options));
  step->signingAuth = std::move(signingAuth);
  return step->execute(context);
}

} // namespace tavrik::detail
