#include "tavrik/State/GitTimestamp.h"

#include "tavrik/Util/HashCombine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tavrik {

namespace {

using std::chrono::duration_cast;
using std::chrono::nanoseconds;
using std::chrono::seconds;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
  int64_t year;
  unsigned month, day;
};

Civil civilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2), m, d};
}

bool isLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// A cursor over the text that never reads past its end.
class Scanner {
public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  std::optional<char> peek() const { return atEnd() ? std::nullopt : std::optional<char>(text_[pos_]); }

  bool literal(char c) {
    if (atEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  /// Exactly `count` ASCII digits.
  std::optional<unsigned> digits(size_t count) {
    if (text_.size() - pos_ < count) return std::nullopt;
    unsigned value = 0;
    for (size_t i = 0; i < count; ++i) {
      char c = text_[pos_ + i];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + unsigned(c - '0');
    }
    pos_ += count;
    return value;
  }

  /// One or more digits as nanoseconds (digits past the ninth are dropped).
  std::optional<int64_t> fraction() {
    size_t start = pos_;
    int64_t ns = 0;
    int kept = 0;
    while (!atEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      if (kept < 9) {
        ns = ns * 10 + (text_[pos_] - '0');
        ++kept;
      }
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    for (; kept < 9; ++kept) ns *= 10;
    return ns;
  }

private:
  std::string_view text_;
  size_t pos_ = 0;
};

// Whole seconds the clock can hold on either side of the epoch (about
// 1677...2262 with a nanosecond system_clock).
constexpr int64_t kMaxClockSeconds = duration_cast<seconds>(Date::duration::max()).count() - 1;

} // namespace

std::optional<GitTimestamp> GitTimestamp::fromStrictISO8601(std::string_view text) {
  Scanner s(text);
  auto year = s.digits(4);
  if (!year || !s.literal('-')) return std::nullopt;
  auto month = s.digits(2);
  if (!month || *month < 1 || *month > 12 || !s.literal('-')) return std::nullopt;
  auto day = s.digits(2);
  if (!day || *day < 1 || *day > daysInMonth(*year, *month)) return std::nullopt;
  if (!s.literal('T') && !s.literal('t')) return std::nullopt;
  auto hour = s.digits(2);
  if (!hour || *hour > 23 || !s.literal(':')) return std::nullopt;
  auto minute = s.digits(2);
  if (!minute || *minute > 59 || !s.literal(':')) return std::nullopt;
  auto second = s.digits(2);
  // 60 is a leap second; like the platform formatter it lands on the next minute.
  if (!second || *second > 60) return std::nullopt;
  int64_t nanos = 0;
  if (s.literal('.')) {
    auto f = s.fraction();
    if (!f) return std::nullopt;
    nanos = *f;
  }

  int64_t offsetSeconds = 0;
  if (s.literal('Z') || s.literal('z')) {
    offsetSeconds = 0;
  } else {
    int sign;
    if (s.literal('+'))
      sign = 1;
    else if (s.literal('-'))
      sign = -1;
    else
      return std::nullopt;
    auto oh = s.digits(2);
    if (!oh || *oh > 23 || !s.literal(':')) return std::nullopt;
    auto om = s.digits(2);
    if (!om || *om > 59) return std::nullopt;
    offsetSeconds = sign * int64_t(*oh * 3600 + *om * 60);
  }
  if (!s.atEnd()) return std::nullopt;

  const int64_t localSeconds =
      daysFromCivil(*year, *month, *day) * 86400 + int64_t(*hour) * 3600 + int64_t(*minute) * 60 + int64_t(*second);
  const int64_t utcSeconds = localSeconds - offsetSeconds;
  if (utcSeconds > kMaxClockSeconds || utcSeconds < -kMaxClockSeconds) return std::nullopt;

  const auto sinceEpoch = duration_cast<Date::duration>(seconds(utcSeconds)) +
                          duration_cast<Date::duration>(nanoseconds(nanos));
  return GitTimestamp{Date(sinceEpoch), double(offsetSeconds)};
}

namespace {

struct Broken {
  Civil civil;
  unsigned hour, minute, second;
  int64_t nanos;
};

Broken breakDown(Date date, int64_t shiftSeconds) {
  const auto ns = duration_cast<nanoseconds>(date.time_since_epoch()).count();
  int64_t secs = ns / 1000000000;
  int64_t frac = ns % 1000000000;
  if (frac < 0) {
    frac += 1000000000;
    secs -= 1;
  }
  secs += shiftSeconds;
  int64_t days = secs / 86400;
  int64_t rem = secs % 86400;
  if (rem < 0) {
    rem += 86400;
    days -= 1;
  }
  return {civilFromDays(days), unsigned(rem / 3600), unsigned(rem % 3600 / 60), unsigned(rem % 60), frac};
}

std::string fractionText(int64_t nanos) {
  if (nanos == 0) return {};
  char buf[16];
  std::snprintf(buf, sizeof buf, ".%09lld", static_cast<long long>(nanos));
  std::string out(buf);
  while (out.back() == '0') out.pop_back();
  return out;
}

} // namespace

std::string GitTimestamp::iso8601String() const {
  // Offsets are whole minutes in practice; a stray fraction is dropped.
  int64_t off = 0;
  if (offset == offset && offset > -86400 && offset < 86400) off = int64_t(offset) / 60 * 60;
  Broken b = breakDown(date, off);
  const int64_t absOff = off < 0 ? -off : off;
  if (b.civil.year >= 0 && b.civil.year <= 9999) {
    // Digit by digit: formatting through snprintf was most of the cost of a
    // reference list in JSON, which writes a date for every reference.
    char text[20];
    auto put = [&text](size_t at, int64_t value, size_t width) {
      for (size_t i = width; i > 0; --i, value /= 10) text[at + i - 1] = char('0' + value % 10);
    };
    put(0, b.civil.year, 4);
    text[4] = '-', text[7] = '-', text[10] = 'T', text[13] = ':', text[16] = ':';
    put(5, b.civil.month, 2), put(8, b.civil.day, 2), put(11, b.hour, 2), put(14, b.minute, 2), put(17, b.second, 2);
    std::string out(text, 19);
    out += fractionText(b.nanos);
    put(0, absOff / 3600, 2), put(3, absOff % 3600 / 60, 2);
    text[2] = ':';
    out += off < 0 ? '-' : '+';
    out.append(text, 5);
    return out;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u", static_cast<long long>(b.civil.year),
                b.civil.month, b.civil.day, b.hour, b.minute, b.second);
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02lld:%02lld", off < 0 ? '-' : '+', static_cast<long long>(absOff / 3600),
                static_cast<long long>(absOff % 3600 / 60));
  return std::string(buf) + fractionText(b.nanos) + zone;
}

std::string GitTimestamp::debugDescription() const {
  Broken b = breakDown(date, 0);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u +0000", static_cast<long long>(b.civil.year),
                b.civil.month, b.civil.day, b.hour, b.minute, b.second);
  char off[48];
  std::snprintf(off, sizeof off, "%g", offset);
  return std::string("<GitTimestamp ") + buf + ", offset=" + off + ">";
}

} // namespace tavrik

size_t std::hash<tavrik::GitTimestamp>::operator()(const tavrik::GitTimestamp& t) const noexcept {
  return tavrik::detail::hashFields(t.date, t.offset);
}

size_t std::hash<tavrik::GitSignature>::operator()(const tavrik::GitSignature& s) const noexcept {
  return tavrik::detail::hashFields(s.name, s.email, s.timestamp);
}
