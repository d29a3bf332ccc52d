#include "tavrik/Operation/GitAspects.h"

#include <utility>

namespace tavrik {

std::string GitAspects::debugDescription() const {
  static const std::pair<GitAspects, const char*> kNames[] = {
      {all, "all"},           {head, "head"},       {status, "status"},         {refs, "refs"},
      {logDescriptor, "logDescriptor"}, {stashes, "stashes"}, {stateFiles, "stateFiles"},
      {queueTasks, "queueTasks"}, {config, "config"},
  };
  std::string out = "<GitAspects ";
  bool first = true;
  for (const auto& [aspect, name] : kNames) {
    if (!contains(aspect)) continue;
    if (!first) out += ", ";
    out += name;
    first = false;
  }
  out += ">";
  return out;
}

} // namespace tavrik
