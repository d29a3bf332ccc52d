// Feeds arbitrary bytes to the `git submodule status` parser. Every
// submodule it reads must have a status git prints and a path that is not
// empty and holds no line feed, one per line at most. The bytes are also laid
// as the path into well-formed lines, with and without a description, which
// must give back exactly those bytes: paths are bytes to git.
#include "FuzzSupport.h"
#include "tavrik/State/GitViewExecSubmoduleOperation.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto submodules = tavrik::GitViewExecSubmoduleOperation::parse(input);
  check(submodules.size() <= static_cast<size_t>(std::count(input.begin(), input.end(), '\n')) + 1);
  for (const auto& submodule : submodules)
    check(std::string_view(" +-U").find(submodule.status) != std::string_view::npos && !submodule.path.empty() &&
          submodule.path.find('\n') == std::string::npos && submodule.changeCount == 0);

  std::string path(input);
  std::replace(path.begin(), path.end(), '\n', '/');
  if (path.empty()) return 0;
  const std::string id(40, 'c');
  for (const char* line : {" ID PATH (heads/main)\n", "+ID PATH (v1.0-3-gabc1234)\n", "-ID PATH\n", "UID PATH\n"}) {
    std::string text(line);
    text.replace(text.find("PATH"), 4, path);
    text.replace(text.find("ID"), 2, id);
    auto parsed = tavrik::GitViewExecSubmoduleOperation::parse(text + text);
    check(parsed.size() == 2 && parsed[0] == parsed[1] && parsed[0].path == path && parsed[0].status == line[0]);
  }
  return 0;
}
