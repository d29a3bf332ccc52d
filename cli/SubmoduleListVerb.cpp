#include "RepositoryToolVerbs.h"

#include "CommandVerbs.h"
#include "tavrik/Json/GitJson.h"
#include "TextOutput.h"
#include "tavrik/State/GitViewExecSubmoduleOperation.h"

namespace tavrik::cli {

std::vector<VerbSpec> submoduleListVerbs() {
  return {{"submodules", "list the submodules with their status", nullptr, [](const CLI::App&) -> VerbRun {
             return [](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
               // Run the reader itself rather than a view refresh, so that a failing
               // git fails the verb instead of leaving an old list.
               const auto submodules =
                   runOn(queue, makeOperation<GitViewExecSubmoduleOperation>()).value_or(std::vector<GitSubmodule>{});
               if (json) return void(out << toJson(submodules) << "\n");
               // Paths are written as their bytes, as git writes them, but for
               // control bytes, which could fake a line.
               for (const auto& submodule : submodules)
                 out << submodule.statusString().value_or(" ") << '\t' << shownText(submodule.path) << '\n';
             };
           }}};
}

} // namespace tavrik::cli
