#include "tavrik/State/GitConfigSnapshot.h"

#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Util/HashCombine.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cctype>

namespace tavrik {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string lowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

struct CodeDeleter {
  void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};

} // namespace

std::optional<Url> GitRemote::url() const { return Url::parse(urlString); }

bool GitRemote::isHTTP() const {
  std::string lower = lowercased(urlString);
  return startsWith(lower, "http://") || startsWith(lower, "https://");
}

std::optional<GitRemote> GitRemoteList::lookup(std::string_view name) const {
  for (const auto& r : remotes)
    if (r.name == name) return r;
  return std::nullopt;
}

std::optional<std::string> GitRemoteList::suggestRefDownstream(std::string_view name) const {
  for (const auto& r : remotes) {
    const std::string p1 = r.name + "/";
    const std::string p2 = "refs/remotes/" + r.name + "/";
    if (startsWith(name, p1)) return std::string(name.substr(p1.size()));
    if (startsWith(name, p2)) return std::string(name.substr(p2.size()));
  }
  return std::nullopt;
}

GitConfigSnapshot::GitConfigSnapshot(std::map<std::string, std::string> values) : values_(std::move(values)) {}

std::shared_ptr<const GitConfigSnapshot> GitConfigSnapshot::make(std::map<std::string, std::string> values) {
  return std::make_shared<const GitConfigSnapshot>(std::move(values));
}

std::shared_ptr<const GitConfigSnapshot> GitConfigSnapshot::empty() {
  static const auto kEmpty = make();
  return kEmpty;
}

std::string GitConfigSnapshot::canonicalKey(std::string_view key) {
  // git lists section and variable names in lower case and a subsection as
  // written; it matches a key given to it the same way.
  const size_t firstDot = key.find('.');
  const size_t lastDot = key.rfind('.');
  if (firstDot == std::string_view::npos) return lowercased(key);
  return lowercased(key.substr(0, firstDot)) + std::string(key.substr(firstDot, lastDot - firstDot)) +
         lowercased(key.substr(lastDot));
}

std::optional<std::string> GitConfigSnapshot::value(std::string_view key) const {
  auto it = values_.find(canonicalKey(key));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool GitConfigSnapshot::gitflowEnabled() const {
  return values_.count("gitflow.branch.master") && values_.count("gitflow.branch.develop");
}

std::optional<std::string> GitConfigSnapshot::remote(std::string_view branch) const {
  return value("branch." + std::string(branch) + ".remote");
}

std::shared_ptr<const GitConfigSnapshot> GitConfigSnapshot::matching(std::string_view pattern) const {
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  std::unique_ptr<pcre2_code, CodeDeleter> code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()),
                                                              pattern.size(), 0, &errorCode, &errorOffset, nullptr));
  if (!code) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(errorCode, message, sizeof message);
    throw arbor::Error("invalid configuration key pattern at offset " + std::to_string(errorOffset) + ": " +
                           reinterpret_cast<const char*>(message),
                       arbor::Error::Code::invalid);
  }
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> match(pcre2_match_data_create_from_pattern(code.get(), nullptr));
  std::map<std::string, std::string> kept;
  for (const auto& [key, value] : values_) {
    int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(key.data()), key.size(), 0, 0, match.get(), nullptr);
    if (rc >= 0) kept.emplace(key, value);
  }
  return make(std::move(kept));
}

const GitRemoteList& GitConfigSnapshot::remoteList() const {
  std::call_once(remoteListOnce_, [this] {
    std::map<std::string, std::string> urls;
    // Keys are visited in order, so remote.NAME.url (after .pushurl) wins.
    const auto addresses = matching(R"(^remote\..*\.(push)?url$)");
    for (const auto& [key, value] : addresses->values()) {
      auto pieces = splitDroppingEmpty(key, '.');
      if (pieces.size() == 3) urls[std::string(pieces[1])] = value;
    }
    for (auto& [name, url] : urls) remoteList_.remotes.push_back({name, url});
  });
  return remoteList_;
}

std::map<std::string, Uuid> GitConfigSnapshot::remoteSerivceAccounts() const {
  std::map<std::string, Uuid> accounts;
  for (const auto& [key, value] : values_) {
    if (!startsWith(key, "remote.")) continue;
    auto pieces = splitDroppingEmpty(key, '.');
    if (pieces.size() < 3) continue;
    auto uuid = Uuid::parse(value);
    if (!uuid) continue;
    if (lowercased(pieces[2]) == "vtserviceaccountuuid") accounts[std::string(pieces[1])] = *uuid;
  }
  return accounts;
}

bool sameConfigValues(const std::shared_ptr<const GitConfigSnapshot>& a,
                      const std::shared_ptr<const GitConfigSnapshot>& b) {
  if (a == b) return true;
  static const std::map<std::string, std::string> kNone;
  return (a ? a->values() : kNone) == (b ? b->values() : kNone);
}

} // namespace tavrik

size_t std::hash<tavrik::GitRemote>::operator()(const tavrik::GitRemote& r) const noexcept {
  return tavrik::detail::hashFields(r.name, r.urlString);
}

size_t std::hash<tavrik::GitRemoteList>::operator()(const tavrik::GitRemoteList& l) const noexcept {
  return tavrik::detail::hashOf(l.remotes);
}

size_t std::hash<tavrik::GitConfigSnapshot>::operator()(const tavrik::GitConfigSnapshot& s) const noexcept {
  return tavrik::detail::hashOf(s.values());
}
