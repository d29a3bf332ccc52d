// Errors about operations themselves rather than their work. The engine
// raises none of them; callers that wait on operations with a limit may.
#pragma once

#include "tavrik/Util/Error.h"

#include <set>
#include <string>

namespace tavrik {

class GitOperationError : public Error {
public:
  enum class Kind { timedOut };

  /// An operation did not finish in time; `children` are what it waited on.
  static GitOperationError timedOut(std::string id, std::set<std::string> children) {
    return GitOperationError(Kind::timedOut, std::move(id), std::move(children));
  }

  Kind kind() const { return kind_; }
  const std::string& id() const { return id_; }
  const std::set<std::string>& children() const { return children_; }

  /// "Operation timed out\n\n<id>\n\nWaiting on:\n\n<children, one per line>".
  std::string localizedDescription() const override {
    std::string text = "Operation timed out\n\n" + id_ + "\n\nWaiting on:\n\n";
    bool first = true;
    for (const auto& child : children_) {
      if (!first) text += "\n";
      text += child;
      first = false;
    }
    return text;
  }

  bool operator==(const GitOperationError&) const = default;

private:
  GitOperationError(Kind kind, std::string id, std::set<std::string> children)
      : kind_(kind), id_(std::move(id)), children_(std::move(children)) {}

  Kind kind_;
  std::string id_;
  std::set<std::string> children_;
};

} // namespace tavrik
