// The engine's own error record: repository-location failures and failed
// system calls.
#pragma once

#include "tavrik/Util/Error.h"

#include <optional>
#include <string>

namespace tavrik {

class TavrikError : public Error {
public:
  TavrikError(std::optional<std::string> errorDescription, std::optional<std::string> failureReason = std::nullopt,
              std::optional<std::string> recoverySuggestion = std::nullopt)
      : errorDescription(std::move(errorDescription)), failureReason(std::move(failureReason)),
        recoverySuggestion(std::move(recoverySuggestion)) {}

  static TavrikError invalidRepository() {
    return {"Invalid Repository", "The provided location is not a valid repository."};
  }
  /// The same, naming the folder that is no repository.
  static TavrikError invalidRepository(const std::string& path) {
    return {"Invalid Repository: " + path, "The folder \"" + path + "\" is not a valid repository."};
  }
  /// A repository whose objects are not named by SHA-1 (`format` as git
  /// names it, "sha256"), which the engine cannot read yet.
  static TavrikError unsupportedObjectFormat(const std::string& path, const std::string& format) {
    return {"Unsupported Object Format: " + format,
            "The repository \"" + path + "\" uses the " + format +
                " object format; this version of Tavrik reads only SHA-1 repositories.",
            "Open it with git itself, or convert it to SHA-1."};
  }
  /// A folder the engine was pointed at that does not exist.
  static TavrikError noSuchFolder(const std::string& path) {
    return {"No such folder: " + path, "The folder \"" + path + "\" does not exist."};
  }
  /// A revision that git would read as an option (it begins with "-").
  static TavrikError optionLikeRevision(const std::string& revision) {
    return {"Invalid revision \"" + revision + "\": a revision cannot begin with \"-\".",
            "Git would read it as an option."};
  }
  /// Throws optionLikeRevision for a revision that begins with "-", before
  /// it can reach a git command line.
  static void refuseOptionLikeRevision(const std::string& revision) {
    if (!revision.empty() && revision.front() == '-') throw optionLikeRevision(revision);
  }
  /// A branch, tag or start point that git would read as an option.
  static TavrikError optionLikeName(const std::string& name) {
    return {"Invalid name \"" + name + "\": a branch, tag or revision cannot begin with \"-\".",
            "Git would read it as an option."};
  }
  /// Throws optionLikeName for a name that begins with "-"; nullopt passes.
  static void refuseOptionLikeName(const std::optional<std::string>& name) {
    if (name && !name->empty() && name->front() == '-') throw optionLikeName(*name);
  }
  /// A remote name, address, refspec or path (`what` says which) that git
  /// would read as an option.
  static TavrikError optionLikeArgument(const std::string& what, const std::string& value);
  /// Throws optionLikeArgument for a value that begins with "-"; nullopt passes.
  static void refuseOptionLikeArgument(const std::string& what, const std::optional<std::string>& value) {
    if (value && !value->empty() && value->front() == '-') throw optionLikeArgument(what, *value);
  }
  /// An operation that started after the client released its queue.
  static TavrikError queueReleased() {
    return {"Queue Released", "The operation's queue was released before the operation started."};
  }
  static TavrikError invalidWorktree() { return {"Invalid Worktree", "The repository has no worktree."}; }
  static TavrikError noCommonAncestor() {
    return {"No Common Ancestor", "The provided commits have no common ancestor."};
  }
  /// A failed system call: `errorDescription` is strerror(errnoValue); the
  /// failing call is kept in `systemCall` for diagnostics.
  static TavrikError fromErrno(int errnoValue, std::string systemCall);

  std::optional<std::string> errorDescription;
  std::optional<std::string> failureReason;
  std::optional<std::string> recoverySuggestion;
  /// errno of a failed system call, 0 otherwise.
  int errnoValue = 0;
  /// The system call that failed, empty otherwise.
  std::string systemCall;

  /// The description, or the failure reason when there is no description.
  std::string localizedDescription() const override;

  /// Equal when the three localized fields are equal.
  bool operator==(const TavrikError& other) const {
    return errorDescription == other.errorDescription && failureReason == other.failureReason &&
           recoverySuggestion == other.recoverySuggestion;
  }
};

} // namespace tavrik
