#include "tavrik/Commands/BisectCommands.h"

#include "tavrik/State/GitViewBisectOperation.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/TavrikError.h"

namespace tavrik {

namespace {

// The words the bisection under way marks with: git refuses "good" and "bad"
// in a bisection started with terms of its own.
std::pair<std::string, std::string> currentTerms(GitOperationContext& context) {
  const auto* descriptor = context.effectiveDescriptor();
  if (!descriptor) return {"bad", "good"};
  return GitViewBisectOperation::parseTerms(
      readFileIfExists(descriptor->gitURL.path() + "/BISECT_TERMS").value_or(""));
}

} // namespace

std::vector<std::string> GitExecBisectStepOperation::arguments(GitOperationContext& context) {
  const auto& o = options;
  std::vector<std::string> args{"bisect"};
  switch (o.action) {
  case GitBisectAction::start:
    args.push_back("start");
    if (o.termOld) args.push_back("--term-old=" + *o.termOld);
    if (o.termNew) args.push_back("--term-new=" + *o.termNew);
    if (o.bad || !o.revisions.empty()) args.push_back(o.bad.value_or("HEAD"));
    args.insert(args.end(), o.revisions.begin(), o.revisions.end());
    args.push_back("--");
    args.insert(args.end(), o.paths.begin(), o.paths.end());
    return args;
  case GitBisectAction::good:
    args.push_back(o.termOld ? *o.termOld : currentTerms(context).second);
    break;
  case GitBisectAction::bad:
    args.push_back(o.termNew ? *o.termNew : currentTerms(context).first);
    break;
  case GitBisectAction::skip:
    args.push_back("skip");
    break;
  case GitBisectAction::run:
    args.push_back("run");
    args.insert(args.end(), o.command.begin(), o.command.end());
    return args;
  }
  args.insert(args.end(), o.revisions.begin(), o.revisions.end());
  return args;
}

GitAspects GitExecBisectStepOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::stateFiles, GitAspects::reflogs};
}

void GitExecBisectStepOperation::validate(GitOperationContext&) {
  const auto& o = options;
  if (o.bad) TavrikError::refuseOptionLikeRevision(*o.bad);
  for (const auto& revision : o.revisions) TavrikError::refuseOptionLikeRevision(revision);
  TavrikError::refuseOptionLikeArgument("bisect term", o.termOld);
  TavrikError::refuseOptionLikeArgument("bisect term", o.termNew);
  if (o.action == GitBisectAction::run) {
    if (o.command.empty() || o.command.front().empty())
      throw TavrikError("Missing Command", "git bisect run needs the command to run.");
    TavrikError::refuseOptionLikeArgument("bisect command", o.command.front());
  }
}

std::vector<std::string> GitExecBisectLogOperation::arguments(GitOperationContext&) { return {"bisect", "log"}; }

std::string GitExecBisectLogOperation::execute(GitOperationContext& context) {
  runCommand(context);
  return std::string(stdOutBuffer->data());
}

} // namespace tavrik
