#include "RepositoryToolVerbs.h"

#include "CommandVerbs.h"
#include "tavrik/Json/GitJson.h"
#include "TextOutput.h"
#include "tavrik/State/GitViewExecSubmoduleOperation.h"

#include <nlohmann/json.hpp>

namespace tavrik::cli {

void addSubmoduleListVerb(CLI::App& app, VerbAction& action, const std::function<CLI::App*(CLI::App*)>& addCommon) {
  auto verb = addCommon(app.add_subcommand("submodules", "list the submodules with their status"));
  verb->callback([&action] {
    action.run = [](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
      // Run the reader itself rather than a view refresh, so that a failing
      // git fails the verb instead of leaving an old list.
      const auto submodules = runOn(queue, makeOperation<GitViewExecSubmoduleOperation>()).value_or(std::vector<GitSubmodule>{});
      if (json) {
        auto list = nlohmann::json::array();
        for (const auto& submodule : submodules) {
          auto badge = submodule.statusString();
          list.push_back({{"path", jsonSafe(submodule.path)},
                          {"status", std::string(1, submodule.status)},
                          {"changeCount", submodule.changeCount},
                          {"statusString", badge ? nlohmann::json(*badge) : nlohmann::json()}});
        }
        out << list.dump() << "\n";
        return;
      }
      // Paths are written as their bytes, as git writes them, but for
      // control bytes, which could fake a line.
      for (const auto& submodule : submodules)
        out << submodule.statusString().value_or(" ") << '\t' << shownText(submodule.path) << '\n';
    };
  });
}

} // namespace tavrik::cli
