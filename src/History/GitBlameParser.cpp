#include "History/GitBlameParser.h"

#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace tavrik::detail {

namespace {

[[noreturn]] void malformed(const char* what) { throw TavrikError::fromErrno(EBADMSG, std::string("git blame: ") + what); }

template <class N> std::optional<N> number(std::string_view text) {
  N value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A path as git writes it: bare, or C-quoted when it holds special bytes.
std::string pathField(std::string_view text) {
  if (text.empty() || text.front() != '"') return std::string(text);
  auto name = gitUnquotedPrefix(text);
  if (!name || name->length != text.size()) malformed("badly quoted path");
  return std::move(name->name);
}

Date epochDate(std::string_view text) {
  auto seconds = number<int64_t>(text);
  if (!seconds) malformed("bad time");
  // git stores any 64-bit time; the clock holds about 292 years around 1970.
  constexpr int64_t kLimit = 9'000'000'000;
  return Date(std::chrono::seconds(std::clamp(*seconds, -kLimit, kLimit)));
}

int zoneMinutes(std::string_view text) {
  auto hhmm = text.size() == 5 && (text[0] == '+' || text[0] == '-') ? number<int>(text.substr(1)) : std::nullopt;
  if (!hhmm) malformed("bad time zone");
  const int minutes = *hhmm / 100 * 60 + *hhmm % 100;
  return text[0] == '-' ? -minutes : minutes;
}

// "<email>" without its brackets; git leaves them out of nothing it prints.
std::string mailField(std::string_view text) {
  if (text.size() >= 2 && text.front() == '<' && text.back() == '>') text = text.substr(1, text.size() - 2);
  return std::string(text);
}

} // namespace

std::vector<GitBlameRange> GitBlameParser::feed(std::string_view chunk) {
  std::vector<GitBlameRange> out;
  pending_.append(chunk);
  size_t from = 0;
  for (size_t lf; (lf = pending_.find('\n', from)) != std::string::npos; from = lf + 1)
    parseLine(std::string_view(pending_).substr(from, lf - from), out);
  pending_.erase(0, from);
  return out;
}

void GitBlameParser::finish() const {
  if (inRange_ || !pending_.empty()) malformed("incomplete range");
}

void GitBlameParser::parseLine(std::string_view line, std::vector<GitBlameRange>& out) {
  if (!inRange_) {
    // "<id> <original line> <final line> <count>"
    if (line.size() < Oid::kHexSize + 6 || line[Oid::kHexSize] != ' ') malformed("bad range header");
    auto id = Oid::parse(line.substr(0, Oid::kHexSize));
    std::string_view rest = line.substr(Oid::kHexSize + 1);
    const size_t blank1 = rest.find(' ');
    const size_t blank2 = blank1 == std::string_view::npos ? blank1 : rest.find(' ', blank1 + 1);
    if (!id || blank2 == std::string_view::npos) malformed("bad range header");
    auto original = number<size_t>(rest.substr(0, blank1));
    auto final = number<size_t>(rest.substr(blank1 + 1, blank2 - blank1 - 1));
    auto count = number<size_t>(rest.substr(blank2 + 1));
    if (!original || !final || !count || *original == 0 || *final == 0 || *count == 0) malformed("bad range header");
    range_ = GitBlameRange{};
    range_.originalLine = *original;
    range_.finalLine = *final;
    range_.lineCount = *count;
    if (auto known = commits_.find(*id); known != commits_.end()) {
      range_.commit = known->second;
      details_.reset();
    } else {
      details_.emplace();
      details_->id = *id;
    }
    inRange_ = true;
    return;
  }
  const size_t blank = line.find(' ');
  const std::string_view key = line.substr(0, blank);
  const std::string_view value = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  if (key == "filename") {
    range_.originalPath = pathField(value);
    if (details_) {
      auto shared = std::make_shared<const GitBlameCommit>(std::move(*details_));
      details_.reset();
      commits_.emplace(shared->id, shared);
      range_.commit = std::move(shared);
    }
    out.push_back(std::move(range_));
    range_ = {};
    inRange_ = false;
    return;
  }
  if (key == "previous") {
    auto id = Oid::parse(value.substr(0, std::min(value.size(), Oid::kHexSize)));
    if (!id || value.size() < Oid::kHexSize + 2 || value[Oid::kHexSize] != ' ') malformed("bad previous line");
    range_.previousId = *id;
    range_.previousPath = pathField(value.substr(Oid::kHexSize + 1));
    return;
  }
  // Details of a commit seen before are not repeated; git adds lines now and
  // then ("unblamable", "ignored"), which are skipped.
  if (!details_) return;
  if (key == "author") details_->author.name = std::string(value);
  else if (key == "author-mail") details_->author.email = mailField(value);
  else if (key == "author-time") details_->author.date = epochDate(value);
  else if (key == "author-tz") details_->author.offsetMinutes = zoneMinutes(value);
  else if (key == "committer") details_->committer.name = std::string(value);
  else if (key == "committer-mail") details_->committer.email = mailField(value);
  else if (key == "committer-time") details_->committer.date = epochDate(value);
  else if (key == "committer-tz") details_->committer.offsetMinutes = zoneMinutes(value);
  else if (key == "summary") details_->summary = std::string(value);
  else if (key == "boundary") details_->boundary = true;
}

} // namespace tavrik::detail
