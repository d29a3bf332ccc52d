#include "tavrik/Process/GitStdError.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <array>
#include <memory>

namespace tavrik {
namespace {

using Kind = GitStdError::Kind;

struct Rule {
  const char* pattern;
  Kind kind;
};

// Order matters: the first rule that matches decides.
constexpr std::array<Rule, 16> kRules{{
    {"fatal: Authentication failed for '(.*?)'", Kind::authenticationFailed},
    // What git says when the credential prompt was declined or went unanswered.
    {"fatal: could not read (?:Username|Password) for '(.*?)'", Kind::authenticationFailed},
    {"hint: Updates were rejected because the tip of your current branch is behind", Kind::tipBehind},
    {"error: Your local changes to the following files would be overwritten by merge", Kind::cantMergeLocalChanges},
    {"error: Pulling is not possible because you have unmerged files.", Kind::cantPullUnmergedFiles},
    {"error: cannot pull with rebase: Your index contains uncommitted changes.", Kind::cantPullUncommittedChanges},
    {"error: cannot pull with rebase: You have unstaged changes.", Kind::cantPullUncommittedChanges},
    {"error: Your local changes to the following files would be overwritten by checkout:",
     Kind::cantCheckoutUncommittedChanges},
    // git 2.42 renamed "checked out" to "used by worktree".
    {"fatal: '(.*?)' is already checked out at '(.*?)'", Kind::branchCheckedOutElsewhere},
    {"fatal: '(.*?)' is already used by worktree at '(.*?)'", Kind::branchCheckedOutElsewhere},
    {"fatal: '(.*?)' contains modified or untracked files, use --force to delete it", Kind::worktreeHasChanges},
    {"fatal: cannot (?:remove|move) a locked working tree", Kind::worktreeLocked},
    // A declined passphrase, a missing key or a failing signing program: git's
    // words for OpenPGP and X.509 commits, and for tags of any format.
    {"error: gpg failed to sign the data", Kind::signingFailed},
    {"error: unable to sign the tag", Kind::signingFailed},
    // An SSH key: git shows ssh-keygen's own words, then gives up the commit;
    // commit-tree says nothing more.
    {"(?:Load key \"[^\"\\n]*\": |Couldn't sign message|Couldn't load public key)[^\\n]*"
     "(?:\\s+(?:fatal|error): failed to write commit object|\\s*$)",
     Kind::signingFailed},
    {"bisect run failed: exit code (-?[0-9]+) from", Kind::bisectRunAborted},
}};

struct CodeDeleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct CompileContextDeleter {
  void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};

struct CompiledRule {
  std::unique_ptr<pcre2_code, CodeDeleter> code; // null when the pattern did not compile
  Kind kind;
};

// Compiled once per process; pcre2_code is read-only while matching, so the
// rules are shared by every thread. Never destroyed: a worker may still be
// classifying a failure while the process exits.
const std::vector<CompiledRule>& compiledRules() {
  static const auto* rules = new std::vector<CompiledRule>([] {
    std::vector<CompiledRule> result;
    std::unique_ptr<pcre2_compile_context, CompileContextDeleter> context(pcre2_compile_context_create(nullptr));
    // Any line terminator stops ".", as the client's own pattern engine does.
    if (context) pcre2_set_newline(context.get(), PCRE2_NEWLINE_ANY);
    for (const auto& rule : kRules) {
      int errorCode = 0;
      PCRE2_SIZE errorOffset = 0;
      // MATCH_INVALID_UTF lets git's raw bytes be searched without checking
      // them first: invalid sequences simply never match.
      pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(rule.pattern), PCRE2_ZERO_TERMINATED,
                                       PCRE2_CASELESS | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &errorCode,
                                       &errorOffset, context.get());
      if (code) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE); // the interpreter remains when JIT is unavailable
      result.push_back({std::unique_ptr<pcre2_code, CodeDeleter>(code), rule.kind});
    }
    return result;
  }());
  return *rules;
}

constexpr std::array<std::string_view, 12> kKindNames{
    "other",
    "authenticationFailed",
    "tipBehind",
    "cantMergeLocalChanges",
    "cantPullUnmergedFiles",
    "cantPullUncommittedChanges",
    "cantCheckoutUncommittedChanges",
    "branchCheckedOutElsewhere",
    "worktreeHasChanges",
    "worktreeLocked",
    "signingFailed",
    "bisectRunAborted",
};

} // namespace

std::string_view rawValue(GitStdErrorUserInfoKey key) {
  switch (key) {
  case GitStdErrorUserInfoKey::remoteName:
    return "remoteName";
  }
  return "remoteName";
}

std::string_view rawValue(GitStdError::Kind kind) {
  auto index = static_cast<size_t>(kind);
  return index < kKindNames.size() ? kKindNames[index] : kKindNames[0];
}

std::optional<GitStdError::Kind> gitStdErrorKind(std::string_view raw) {
  for (size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == raw) return static_cast<GitStdError::Kind>(i);
  }
  return std::nullopt;
}

GitStdError::Classification GitStdError::classify(std::string_view text) {
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> matchData(pcre2_match_data_create(8, nullptr));
  if (!matchData) return {};
  auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  for (const auto& rule : compiledRules()) {
    if (!rule.code) continue;
    int rc = pcre2_match(rule.code.get(), subject, text.size(), 0, 0, matchData.get(), nullptr);
    // Negative results other than "no match" are resource limits; they count
    // as no match rather than failing the classification.
    if (rc <= 0) continue;
    Classification result;
    result.kind = rule.kind;
    PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(matchData.get());
    for (int i = 0; i < rc; ++i) {
      PCRE2_SIZE start = ovector[2 * i], end = ovector[2 * i + 1];
      if (start == PCRE2_UNSET || end < start || end > text.size()) {
        result.groups.emplace_back();
      } else {
        result.groups.emplace_back(text.substr(start, end - start));
      }
    }
    return result;
  }
  return {};
}

GitStdError::GitStdError(int status, std::optional<std::string> text, std::map<std::string, std::string> userInfo)
    : status_(status), text_(std::move(text)), userInfo_(std::move(userInfo)) {
  auto classification = classify(text_ ? std::string_view(*text_) : std::string_view());
  kind_ = classification.kind;
  groups_ = std::move(classification.groups);
}

std::optional<std::string> GitStdError::userInfo(GitStdErrorUserInfoKey key) const {
  auto it = userInfo_.find(std::string(rawValue(key)));
  if (it == userInfo_.end()) return std::nullopt;
  return it->second;
}

GitStdError GitStdError::attach(const std::map<std::string, std::string>& entries) const {
  GitStdError copy = *this;
  for (const auto& [key, value] : entries) copy.userInfo_[key] = value;
  return copy;
}

std::string GitStdError::errorDescription() const {
  std::string result = "Git exited with status " + std::to_string(status_);
  if (text_) {
    result += "\n\n";
    result += *text_;
  }
  if (kind_ != Kind::other) {
    result += "\n\nkind: ";
    result += rawValue(kind_);
  }
  for (const auto& [key, value] : userInfo_) {
    result += '\n';
    result += key;
    result += ": ";
    result += value;
  }
  return result;
}

} // namespace tavrik

size_t std::hash<tavrik::GitStdError>::operator()(const tavrik::GitStdError& e) const noexcept {
  size_t h = std::hash<int>{}(e.status());
  auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
  mix(static_cast<size_t>(e.kind()));
  mix(e.text() ? std::hash<std::string>{}(*e.text()) : 0);
  for (const auto& g : e.groups()) mix(std::hash<std::string>{}(g));
  for (const auto& [k, v] : e.userInfo()) {
    mix(std::hash<std::string>{}(k));
    mix(std::hash<std::string>{}(v));
  }
  return h;
}
