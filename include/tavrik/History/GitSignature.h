// Signature status of commits and tags, as git reports it. Verification runs
// the user's gpg, gpgsm or ssh-keygen and is slow, so a client asks only for
// the rows it shows, and keeps the answers in a `GitSignatureCache` shared
// between those requests (a commit's signature never changes; the trust in
// its key may, so a client clears the cache when the user changes keys).
//
//   auto cache = std::make_shared<GitSignatureCache>();
//   auto statuses = makeOperation<GitVerifyCommitsOperation>(visibleIds, cache)->enqueue(queue);
//
// git does the checking with the repository's configuration: `gpg.format`,
// `gpg.program`, `gpg.ssh.program` and `gpg.ssh.allowedSignersFile` are
// honoured; nothing here changes them.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Process/GitExecOperation.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrik {

/// What git concluded about a signature (the letters of git's "%G?").
enum class GitSignatureVerdict {
  /// G: good and valid.
  good,
  /// B: bad: the object does not match it.
  bad,
  /// U: good, by a key of unknown validity.
  unknownValidity,
  /// X: good, but the signature has expired.
  expired,
  /// Y: good, made by a key that has expired since.
  expiredKey,
  /// R: good, made by a key that was revoked.
  revokedKey,
  /// E: cannot be checked (the key is missing, no allowed-signers file...).
  cannotCheck,
  /// N: not signed.
  none,
};

/// The letter git prints for a verdict ("G", "B", "U", "X", "Y", "R", "E",
/// "N").
char gitSignatureLetter(GitSignatureVerdict verdict);
/// The verdict of one of those letters; nullopt for any other.
std::optional<GitSignatureVerdict> gitSignatureVerdict(char letter);

/// One object's signature status.
struct GitSignatureStatus {
  GitSignatureVerdict verdict = GitSignatureVerdict::none;
  /// Who signed, as the signing tool names them (git's "%GS"; bytes); empty
  /// when unknown.
  std::string signer;
  /// The key (git's "%GK": an OpenPGP key id, or an SSH key's fingerprint);
  /// empty when unknown.
  std::string key;
  bool operator==(const GitSignatureStatus&) const = default;
};

/// Answers already known, by object id. Thread-safe.
class GitSignatureCache {
public:
  std::optional<GitSignatureStatus> find(const Oid& id) const;
  void store(const Oid& id, GitSignatureStatus status);
  void clear();
  size_t size() const;

private:
  mutable std::mutex lock_;
  std::unordered_map<Oid, GitSignatureStatus> statuses_; // guarded by lock_
};

/// The signature status of each of `ids`, in their order: those in the cache
/// from it, the others from one git run (`git log --no-walk` with "%G?",
/// "%GS" and "%GK"), then stored in it. Blocks its queue worker while git and
/// the signing tool run. Throws GitStdError when git fails (an id that is
/// not a commit), TavrikError (EBADMSG) for output it cannot read.
class GitVerifyCommitsOperation : public GitExecOperation<std::vector<GitSignatureStatus>> {
public:
  GitVerifyCommitsOperation(std::vector<Oid> ids, std::shared_ptr<GitSignatureCache> cache = nullptr);
  const std::vector<Oid> ids;
  const std::shared_ptr<GitSignatureCache> cache;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  std::optional<std::string> standardInputData() override;
  std::vector<GitSignatureStatus> execute(GitOperationContext& context) override;
  /// The signing tool runs without a terminal, as when signing.
  bool needsOwnSession() const override { return true; }

  /// Parses git's records: id, letter, signer and key, each followed by a
  /// NUL. nullopt when malformed. Exposed for the fuzz target.
  static std::optional<std::vector<std::pair<Oid, GitSignatureStatus>>> parse(std::string_view output);

private:
  std::vector<Oid> missing_;
};

/// The signature status of an annotated tag (`git verify-tag --raw`). A
/// light tag, or an annotated one without a signature, is `none`. Throws
/// TavrikError for a name that looks like an option (before git runs) and
/// GitStdError when the name is not a tag.
class GitVerifyTagOperation : public GitExecOperation<GitSignatureStatus> {
public:
  explicit GitVerifyTagOperation(std::string tag);
  const std::string tag;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  std::set<int> successStatuses() const override;
  void checkStatus(int status, const std::optional<std::string>& text) override;
  GitSignatureStatus execute(GitOperationContext& context) override;
  bool needsOwnSession() const override { return true; }

  /// Reads what `verify-tag --raw` wrote to its standard error (GnuPG's
  /// status lines, or ssh-keygen's and git's messages) with its exit status.
  /// Exposed for the fuzz target.
  static GitSignatureStatus parseVerifyOutput(std::string_view text, int exitStatus);

private:
  int exitStatus_ = 0;
};

} // namespace tavrik
