// The configuration reader: lists the repository's effective configuration
// with `git config -z --list` and stores it as the view's `config`, one
// snapshot holding each key's last value.
#pragma once

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Queue/GitView.h"

#include <map>
#include <string>
#include <vector>

namespace tavrik {

class GitViewExecConfigOperation : public GitExecOperation<GitView> {
public:
  /// "config", "-z", "--list".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The updated view. Only a failure of git itself fails (with GitStdError).
  GitView execute(GitOperationContext& context) override;

  /// Reads NUL-ended records of "key\nvalue" (a key git prints without a
  /// value is a record of the key alone, read as an empty value); the value
  /// may hold line feeds. A later record for a key replaces an earlier one.
  /// Reading stops at the first record that is not valid UTF-8, keeping the
  /// ones before it. Never throws.
  static std::map<std::string, std::string> parse(GitBuffer& buffer);
};

} // namespace tavrik
