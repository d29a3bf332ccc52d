#include "tavrik/State/GitViewExecConfigOperation.h"

namespace tavrik {

std::vector<std::string> GitViewExecConfigOperation::arguments(GitOperationContext&) {
  // -z because a value may span lines while a key never holds a line feed.
  // `config --list` neither colours, quotes nor lays out in columns, so there
  // is nothing of the user's settings to pin here.
  return {"config", "-z", "--list"};
}

std::shared_ptr<const GitConfigSnapshot> GitViewExecConfigOperation::execute(GitOperationContext& context) {
  runCommand(context);
  return GitConfigSnapshot::make(parse(*stdOutBuffer));
}

std::map<std::string, std::string> GitViewExecConfigOperation::parse(GitBuffer& buffer) {
  std::map<std::string, std::string> values;
  // Records are bytes: a Latin-1 user.name is kept as it is, and the keys
  // after it are read like any other.
  while (auto record = buffer.scanToNull()) {
    auto lineFeed = record->find('\n');
    if (lineFeed == std::string_view::npos)
      values[std::string(*record)] = "";
    else
      values[std::string(record->substr(0, lineFeed))] = std::string(record->substr(lineFeed + 1));
  }
  return values;
}

} // namespace tavrik
