#include "tavrik/History/GitSignature.h"

#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

#include <cerrno>
#include <set>

namespace tavrik {

namespace {

constexpr std::pair<GitSignatureVerdict, char> kLetters[] = {
    {GitSignatureVerdict::good, 'G'},        {GitSignatureVerdict::bad, 'B'},
    {GitSignatureVerdict::unknownValidity, 'U'}, {GitSignatureVerdict::expired, 'X'},
    {GitSignatureVerdict::expiredKey, 'Y'},  {GitSignatureVerdict::revokedKey, 'R'},
    {GitSignatureVerdict::cannotCheck, 'E'}, {GitSignatureVerdict::none, 'N'},
};

// GnuPG's trust levels in git's order; below "marginal" a good signature
// is one of unknown validity.
enum class Trust { unset, undefined, never, marginal, fully, ultimate };

std::optional<Trust> trustNamed(std::string_view name) {
  if (name == "UNDEFINED") return Trust::undefined;
  if (name == "NEVER") return Trust::never;
  if (name == "MARGINAL") return Trust::marginal;
  if (name == "FULLY") return Trust::fully;
  if (name == "ULTIMATE") return Trust::ultimate;
  return std::nullopt;
}

std::string_view lineAt(std::string_view text, size_t from) {
  return text.substr(from, std::min(text.find('\n', from), text.size()) - from);
}

// GnuPG's status lines, read as git reads them for "%G?". nullopt when there
// are none (the signature is not OpenPGP's, or was not checked).
std::optional<GitSignatureStatus> parseGnupgStatus(std::string_view text) {
  struct Status {
    std::string_view word;
    char letter;
    bool keyAndSigner;
  };
  static constexpr Status kStatuses[] = {{"GOODSIG ", 'G', true},  {"BADSIG ", 'B', true},
                                         {"ERRSIG ", 'E', false},  {"EXPSIG ", 'X', true},
                                         {"EXPKEYSIG ", 'Y', true}, {"REVKEYSIG ", 'R', true}};
  bool seen = false;
  int exclusive = 0;
  char letter = 'N';
  Trust trust = Trust::unset;
  GitSignatureStatus status;
  for (size_t at = 0; at < text.size();) {
    std::string_view line = lineAt(text, at);
    at += line.size() + 1;
    if (!line.starts_with("[GNUPG:] ")) continue;
    line.remove_prefix(9);
    seen = true;
    if (line.starts_with("TRUST_")) {
      auto level = trustNamed(line.substr(6, line.find(' ') == std::string_view::npos ? line.npos : line.find(' ') - 6));
      if (!level) return GitSignatureStatus{GitSignatureVerdict::cannotCheck, {}, {}};
      trust = *level;
      continue;
    }
    for (const auto& s : kStatuses) {
      if (!line.starts_with(s.word)) continue;
      // Several signatures on one object are refused, as git refuses them.
      if (s.letter == 'E' && exclusive++) return GitSignatureStatus{GitSignatureVerdict::cannotCheck, {}, {}};
      letter = s.letter;
      line.remove_prefix(s.word.size());
      const size_t blank = std::min(line.find(' '), line.size());
      status.key = std::string(line.substr(0, blank));
      if (s.keyAndSigner && blank < line.size()) status.signer = std::string(line.substr(blank + 1));
    }
  }
  if (!seen) return std::nullopt;
  if (letter == 'G' && (trust == Trust::undefined || trust == Trust::never)) letter = 'U';
  status.verdict = *gitSignatureVerdict(letter);
  return status;
}

// ssh-keygen's answer as git reads it: a known principal, or a good
// signature by a key that no allowed signer has.
std::optional<GitSignatureStatus> parseSshStatus(std::string_view text) {
  std::string_view line = lineAt(text, 0);
  GitSignatureStatus status;
  constexpr std::string_view kKnown = "Good \"git\" signature for ";
  if (line.starts_with(kKnown)) {
    line.remove_prefix(kKnown.size());
    const size_t with = line.rfind(" with ");
    if (with == std::string_view::npos || with == 0) return std::nullopt;
    status.verdict = GitSignatureVerdict::good;
    status.signer = std::string(line.substr(0, with));
  } else if (line.starts_with("Good \"git\" signature with ")) {
    status.verdict = GitSignatureVerdict::unknownValidity;
  } else {
    return std::nullopt;
  }
  const size_t key = line.find("key ");
  if (key == std::string_view::npos) return GitSignatureStatus{GitSignatureVerdict::bad, {}, {}};
  status.key = std::string(line.substr(key + 4));
  return status;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

} // namespace

char gitSignatureLetter(GitSignatureVerdict verdict) {
  for (auto [v, letter] : kLetters)
    if (v == verdict) return letter;
  return 'N';
}

std::optional<GitSignatureVerdict> gitSignatureVerdict(char letter) {
  for (auto [verdict, l] : kLetters)
    if (l == letter) return verdict;
  return std::nullopt;
}

std::optional<GitSignatureStatus> GitSignatureCache::find(const Oid& id) const {
  std::lock_guard guard(lock_);
  auto found = statuses_.find(id);
  if (found == statuses_.end()) return std::nullopt;
  return found->second;
}

void GitSignatureCache::store(const Oid& id, GitSignatureStatus status) {
  std::lock_guard guard(lock_);
  statuses_.insert_or_assign(id, std::move(status));
}

void GitSignatureCache::clear() {
  std::lock_guard guard(lock_);
  statuses_.clear();
}

size_t GitSignatureCache::size() const {
  std::lock_guard guard(lock_);
  return statuses_.size();
}

GitVerifyCommitsOperation::GitVerifyCommitsOperation(std::vector<Oid> ids, std::shared_ptr<GitSignatureCache> cache)
    : ids(std::move(ids)), cache(std::move(cache)) {}

std::vector<std::string> GitVerifyCommitsOperation::arguments(GitOperationContext&) {
  // A signature shown by log.showSignature would land in the records.
  return {"-c",
          "log.showSignature=false",
          "log",
          "--no-walk=unsorted",
          "-z",
          "--format=tformat:%H%x00%G?%x00%GS%x00%GK",
          "--stdin"};
}

std::optional<std::string> GitVerifyCommitsOperation::standardInputData() {
  std::string lines;
  for (const auto& id : missing_) lines += id.string() + "\n";
  return lines;
}

std::optional<std::vector<std::pair<Oid, GitSignatureStatus>>>
GitVerifyCommitsOperation::parse(std::string_view output) {
  std::vector<std::pair<Oid, GitSignatureStatus>> records;
  size_t at = 0;
  auto field = [&]() -> std::optional<std::string_view> {
    const size_t nul = output.find('\0', at);
    if (nul == std::string_view::npos) return std::nullopt;
    auto text = output.substr(at, nul - at);
    at = nul + 1;
    return text;
  };
  while (at < output.size()) {
    auto id = field(), letter = field(), signer = field(), key = field();
    if (!key) return std::nullopt;
    auto oid = Oid::parse(*id);
    auto verdict = letter->size() == 1 ? gitSignatureVerdict(letter->front()) : std::nullopt;
    if (!oid || id->size() != 40 || !verdict) return std::nullopt;
    records.emplace_back(*oid, GitSignatureStatus{*verdict, std::string(*signer), std::string(*key)});
  }
  return records;
}

std::vector<GitSignatureStatus> GitVerifyCommitsOperation::execute(GitOperationContext& context) {
  std::vector<std::optional<GitSignatureStatus>> known(ids.size());
  missing_.clear();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (cache) known[i] = cache->find(ids[i]);
    if (!known[i]) missing_.push_back(ids[i]);
  }
  if (!missing_.empty()) {
    runCommand(context);
    auto records = parse(stdOutBuffer->data());
    if (!records) throw TavrikError::fromErrno(EBADMSG, "git log: malformed signature record");
    std::unordered_map<Oid, GitSignatureStatus> found;
    for (auto& [id, status] : *records) {
      if (cache) cache->store(id, status);
      found.insert_or_assign(id, std::move(status));
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      if (known[i]) continue;
      auto it = found.find(ids[i]);
      if (it == found.end()) throw TavrikError::fromErrno(EBADMSG, "git log: no signature record for " + ids[i].string());
      known[i] = it->second;
    }
  }
  std::vector<GitSignatureStatus> statuses;
  statuses.reserve(known.size());
  for (auto& status : known) statuses.push_back(std::move(*status));
  return statuses;
}

GitVerifyTagOperation::GitVerifyTagOperation(std::string tag) : tag(std::move(tag)) {}

std::vector<std::string> GitVerifyTagOperation::arguments(GitOperationContext&) {
  return {"verify-tag", "--raw", tag};
}

GitSignatureStatus GitVerifyTagOperation::parseVerifyOutput(std::string_view text, int exitStatus) {
  if (auto status = parseGnupgStatus(text)) return *status;
  if (auto status = parseSshStatus(text)) return *status;
  // git's own refusals: nothing signed, or not an annotated tag at all.
  if (contains(text, "no signature found") || contains(text, "cannot verify a non-tag object"))
    return {GitSignatureVerdict::none, {}, {}};
  if (exitStatus == 0) return {GitSignatureVerdict::cannotCheck, {}, {}};
  // A signature ssh-keygen rejects; anything else (no allowed-signers
  // file, no signing program) could not be checked.
  if (contains(text, "Signature verification failed") || contains(text, "Could not verify signature"))
    return {GitSignatureVerdict::bad, {}, {}};
  return {GitSignatureVerdict::cannotCheck, {}, {}};
}

std::set<int> GitVerifyTagOperation::successStatuses() const {
  // git says 1 for every signature that is not good; the text tells which.
  return {0, 1};
}

void GitVerifyTagOperation::checkStatus(int status, const std::optional<std::string>& text) {
  exitStatus_ = status;
  GitExecOperation::checkStatus(status, text);
}

GitSignatureStatus GitVerifyTagOperation::execute(GitOperationContext& context) {
  TavrikError::refuseOptionLikeRevision(tag);
  runCommand(context);
  const std::string& text = stdErrBuffer->data();
  const int exitStatus = exitStatus_;
  // A name that is not a tag is the caller's error, not the signature's.
  if (contains(text, "error: tag '") && contains(text, "' not found")) throw GitStdError(exitStatus, text);
  return parseVerifyOutput(text, exitStatus);
}

} // namespace tavrik
