#include "RepositoryToolVerbs.h"

#include "CommandVerbs.h"
#include "tavrik/Json/GitJson.h"
#include "TextOutput.h"

#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/Tools/GitExecToolOperation.h"
#include "tavrik/Util/TavrikError.h"

namespace tavrik::cli {

namespace {

struct ToolArgs {
  std::string tool;
  bool directoryDiff = false;
  std::vector<std::string> paths;
};

bool matches(const GitStatusEntry& entry, const std::vector<std::string>& paths) {
  if (paths.empty()) return true;
  for (const auto& entryPath : entry.paths())
    for (std::string path : paths) {
      while (path.size() > 1 && path.back() == '/') path.pop_back();
      // A folder names every change beneath it.
      if (entryPath == path || entryPath.rfind(path + "/", 0) == 0) return true;
    }
  return false;
}

// The status entries the verb works on; every PATH must name at least one.
std::vector<GitStatusEntry> chosenEntries(const std::shared_ptr<GitQueue>& queue, const ToolArgs& args,
                                          bool conflicted) {
  auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>());
  std::vector<GitStatusEntry> chosen;
  if (status)
    for (const auto& entry : status->entries)
      if (entry.hasConflict() == conflicted && !entry.isUntracked() && matches(entry, args.paths))
        chosen.push_back(entry);
  const char* what = conflicted ? "conflicted files" : "changes";
  for (const auto& path : args.paths) {
    bool found = std::any_of(chosen.begin(), chosen.end(), [&](const auto& e) { return matches(e, {path}); });
    if (!found) throw TavrikError("No " + std::string(what) + " in " + quotedPath(path) + ".");
  }
  if (chosen.empty()) throw TavrikError("No " + std::string(what) + " to open.");
  return chosen;
}

// nullopt leaves the choice to the user's git configuration.
std::optional<std::string> toolName(const ToolArgs& args) {
  if (args.tool.empty()) return std::nullopt;
  auto tool = GitTool::by(args.tool);
  if (!tool) {
    std::string known;
    for (const auto& t : GitTool::all()) known += (known.empty() ? "" : ", ") + t.name;
    throw TavrikError("Unknown tool \"" + args.tool + "\".", "Known tools: " + known + ".");
  }
  if (args.directoryDiff && !tool->supportsDirectoryDiff)
    throw TavrikError(tool->name + " cannot compare folders (--dir-diff).");
  return tool->name;
}

} // namespace

std::vector<VerbSpec> toolVerbs() {
  auto a = std::make_shared<ToolArgs>();
  return {
      {"difftool", "open changes against HEAD in an external diff tool",
       [a](CLI::App& verb) {
         verb.add_option("--tool", a->tool, "a known tool (see `tavrik tools`); default: git's diff.tool");
         verb.add_flag("--dir-diff", a->directoryDiff, "compare the changed files as two folders");
         verb.add_option("paths", a->paths, "paths relative to the working tree (default: every change)");
       },
       [a](const CLI::App&) -> VerbRun {
         return [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           auto name = toolName(*a);
           auto entries = chosenEntries(queue, *a, false);
           runOn(queue, GitExecToolOperation::named(GitExecToolSource::status(entries), a->directoryDiff, name));
           if (json) out << toolComparedJson(entries.size()) << "\n";
         };
       }},
      {"mergetool", "resolve conflicts in an external merge tool",
       [a](CLI::App& verb) {
         verb.add_option("--tool", a->tool, "a known tool (see `tavrik tools`); default: git's merge.tool");
         verb.add_option("paths", a->paths, "paths relative to the working tree (default: every conflict)");
       },
       [a](const CLI::App&) -> VerbRun {
         return [a](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
           auto name = toolName(*a);
           auto entries = chosenEntries(queue, *a, true);
           runOn(queue, GitExecToolOperation::named(GitExecToolSource::status(entries), false, name));
           auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>());
           std::vector<std::string> remaining;
           for (const auto& entry : entries)
             if (auto now = status->entryFor(*entry.path()); now && now->hasConflict())
               remaining.push_back(*entry.path());
           const size_t resolved = entries.size() - remaining.size();
           if (json) return void(out << toolResolvedJson(resolved, remaining) << "\n");
           out << "Resolved " << resolved << " of " << entries.size() << " conflicted files\n";
           for (const auto& path : remaining) out << "still conflicted: " << quotedPath(path) << "\n";
         };
       }},
      {"tools", "the known external diff and merge tools", nullptr,
       [](const CLI::App&) -> VerbRun {
         return [](const std::shared_ptr<GitQueue>&, bool json, std::ostream& out) {
           std::vector<GitToolAvailability> tools;
           for (const auto& tool : GitTool::all()) {
             tools.push_back({tool.name, tool.path, tool.isInstalled(), tool.supportsDirectoryDiff});
             if (!json)
               out << tool.name << "\t" << (tools.back().isInstalled ? "installed" : "not installed") << "\t"
                   << (tool.supportsDirectoryDiff ? "dir-diff" : "no dir-diff") << "\n";
           }
           if (json) out << toJson(tools) << "\n";
         };
       },
       false},
  };
}

} // namespace tavrik::cli
