// The configuration reader: lists the repository's effective configuration
// with `git config -z --list` into one snapshot holding each key's last
// value; run on a queue, the snapshot becomes the view's `config`.
#pragma once

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitConfigSnapshot.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavrik {

class GitViewExecConfigOperation : public GitExecOperation<std::shared_ptr<const GitConfigSnapshot>> {
public:
  bool storesResultInView() const override { return true; }
  /// "config", "-z", "--list".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The snapshot. Only a failure of git itself fails (with GitStdError).
  std::shared_ptr<const GitConfigSnapshot> execute(GitOperationContext& context) override;

  /// Reads NUL-ended records of "key\nvalue" (a key git prints without a
  /// value is a record of the key alone, read as an empty value); the value
  /// may hold line feeds. A later record for a key replaces an earlier one.
  /// Reading stops at the first record that is not valid UTF-8, keeping the
  /// ones before it. Never throws.
  static std::map<std::string, std::string> parse(GitBuffer& buffer);
};

} // namespace tavrik
