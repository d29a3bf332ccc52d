#include "Queue/FsmonitorJournal.h"

#include "Process/UnixSocketServer.h"

#include <charconv>
#include <unordered_set>

namespace tavrik::detail {

namespace {
constexpr std::string_view kTokenPrefix = "tavrik:";
}

FsmonitorJournal::FsmonitorJournal(size_t capacity)
    : capacity_(capacity ? capacity : 1), instance_(randomToken().substr(0, 16)) {}

void FsmonitorJournal::record(std::string path) {
  changes_.emplace_back(++sequence_, std::move(path));
  if (changes_.size() > capacity_) {
    // What changed up to the dropped entry is no longer known.
    floor_ = changes_.front().first;
    changes_.pop_front();
  }
}

void FsmonitorJournal::forgetAll() {
  changes_.clear();
  // A step of its own, so that no token handed out before matches the floor.
  floor_ = ++sequence_;
}

std::string FsmonitorJournal::currentToken() const {
  return std::string(kTokenPrefix) + instance_ + ":" + std::to_string(sequence_);
}

std::optional<uint64_t> FsmonitorJournal::sequenceOf(std::string_view token) const {
  if (!token.starts_with(kTokenPrefix)) return std::nullopt;
  token.remove_prefix(kTokenPrefix.size());
  if (!token.starts_with(instance_) || token.size() <= instance_.size() || token[instance_.size()] != ':')
    return std::nullopt;
  token.remove_prefix(instance_.size() + 1);
  uint64_t sequence = 0;
  auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), sequence);
  if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
  return sequence;
}

FsmonitorJournal::Answer FsmonitorJournal::changedSince(std::string_view token) const {
  Answer answer{currentToken(), std::nullopt};
  auto since = sequenceOf(token);
  if (unsure_ || !since || *since < floor_ || *since > sequence_) return answer;
  std::vector<std::string> paths;
  std::unordered_set<std::string_view> seen;
  // Newest first, so the search stops at the token.
  for (auto it = changes_.rbegin(); it != changes_.rend() && it->first > *since; ++it)
    if (seen.insert(it->second).second) paths.push_back(it->second);
  for (const auto& folder : unwatched_)
    if (seen.insert(folder).second) paths.push_back(folder);
  answer.paths = std::move(paths);
  return answer;
}

std::optional<std::vector<std::string>> FsmonitorJournal::exactPathsSince(std::string_view token) const {
  auto since = sequenceOf(token);
  if (unsure_ || !since || *since < floor_ || *since < barrier_ || *since > sequence_) return std::nullopt;
  std::vector<std::string> paths;
  std::unordered_set<std::string_view> seen;
  for (auto it = changes_.rbegin(); it != changes_.rend() && it->first > *since; ++it) {
    if (it->second.ends_with('/')) return std::nullopt;
    if (seen.insert(it->second).second) paths.push_back(it->second);
  }
  return paths;
}

std::string FsmonitorJournal::encode(const Answer& answer) {
  std::string out = answer.token;
  out.push_back('\0');
  if (!answer.paths) {
    out += "/";
    out.push_back('\0');
    return out;
  }
  for (const auto& path : *answer.paths) {
    out += path;
    out.push_back('\0');
  }
  return out;
}

} // namespace tavrik::detail
