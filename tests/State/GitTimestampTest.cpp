#include "tavrik/State/GitTimestamp.h"

#include "Support/HashTesting.h"
#include "Support/ScratchRepo.h"

#include <gtest/gtest.h>

#include <string>

using namespace tavrik;
using std::chrono::seconds;

namespace {
Date at(int64_t epochSeconds, int64_t nanos = 0) {
  return Date(std::chrono::duration_cast<Date::duration>(seconds(epochSeconds) + std::chrono::nanoseconds(nanos)));
}
} // namespace

TEST(GitTimestamp, ParsesStrictISO8601Table) {
  struct Case {
    const char* text;
    int64_t epoch;  // UTC seconds
    int64_t nanos;
    double offset;
  };
  // 2024-01-02T08:00:00Z is 1704182400.
  const Case cases[] = {
      {"2024-01-02T10:00:00+02:00", 1704182400, 0, 7200},
      {"2024-01-02T03:00:00-05:00", 1704182400, 0, -18000},
      {"2024-01-02T08:00:00Z", 1704182400, 0, 0},
      {"2024-01-02T08:00:00z", 1704182400, 0, 0},
      {"2024-01-02T08:00:00+00:00", 1704182400, 0, 0},
      {"2024-01-02T08:00:00-00:00", 1704182400, 0, 0},
      {"2024-01-02T13:45:00+05:45", 1704182400, 0, 20700},
      {"2024-01-02T08:00:00.5Z", 1704182400, 500000000, 0},
      {"2024-01-02T10:00:00.123456789+02:00", 1704182400, 123456789, 7200},
      {"2024-01-02T08:00:00.1234567891234Z", 1704182400, 123456789, 0},
      {"1970-01-01T00:00:00Z", 0, 0, 0},
      {"1969-12-31T23:59:59Z", -1, 0, 0},
      {"2024-02-29T00:00:00Z", 1709164800, 0, 0},
      {"2000-02-29T00:00:00Z", 951782400, 0, 0},
      {"2023-12-31T23:59:60Z", 1704067200, 0, 0},  // leap second rolls over
      // The zone moves the instant across a day and year boundary.
      {"2024-01-01T01:00:00+02:00", 1704063600, 0, 7200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto ts = GitTimestamp::fromStrictISO8601(c.text);
    ASSERT_TRUE(ts.has_value());
    EXPECT_EQ(ts->date, at(c.epoch, c.nanos));
    EXPECT_EQ(ts->offset, c.offset);
  }
}

TEST(GitTimestamp, RejectsMalformedText) {
  const char* bad[] = {
      "",
      "Z",
      "+02:00",                      // shorter than six characters once cut
      "2024",
      "2024-01-02",                  // no time
      "2024-01-02T10:00:00",         // no zone
      "2024-01-02 10:00:00+02:00",   // blank instead of T
      "2024-01-02T10:00+02:00",      // no seconds
      "2024-01-02T10:00:00+0200",    // offset without colon
      "2024-01-02T10:00:00+02",      // offset without minutes
      "2024-01-02T10:00:00+02:0",
      "2024-01-02T10:00:00.+02:00",  // fraction without digits
      "2024-01-02T10:00:00ZZ",       // trailing text
      "2024-01-02T10:00:00+02:00 ",
      " 2024-01-02T10:00:00+02:00",
      "2024-13-02T10:00:00Z",        // month out of range
      "2024-00-02T10:00:00Z",
      "2024-01-32T10:00:00Z",        // day out of range
      "2023-02-29T10:00:00Z",        // not a leap year
      "1900-02-29T10:00:00Z",
      "2024-04-31T10:00:00Z",
      "2024-01-02T24:00:00Z",        // hour out of range
      "2024-01-02T10:60:00Z",
      "2024-01-02T10:00:61Z",
      "2024-01-02T10:00:00+24:00",   // offset out of range
      "2024-01-02T10:00:00+02:60",
      "2024-1-02T10:00:00Z",         // short fields
      "２０２４-01-02T10:00:00Z",     // non-ASCII digits
      "2024-01-02T10:00:00\0Z",
      "0001-01-01T00:00:00Z",        // outside what the clock can hold
      "9999-12-31T23:59:59Z",
      "garbage that is long enough to cut",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(GitTimestamp::fromStrictISO8601(text).has_value());
  }
  // An embedded NUL must not end the text early.
  EXPECT_FALSE(GitTimestamp::fromStrictISO8601(std::string_view("2024-01-02T10:00:00Z\0x", 22)).has_value());
}

TEST(GitTimestamp, FormatsLocalTimeWithOffsetAndRoundTrips) {
  const char* texts[] = {
      "2024-01-02T10:00:00+02:00", "2024-01-02T03:00:00-05:00", "2024-01-02T08:00:00+00:00",
      "2024-01-02T13:45:00+05:45", "1969-12-31T23:59:59+00:00", "2024-01-02T10:00:00.5+02:00",
      "2024-01-02T10:00:00.000000001-09:30", "2024-02-29T23:30:00-01:00",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    auto ts = GitTimestamp::fromStrictISO8601(text);
    ASSERT_TRUE(ts);
    EXPECT_EQ(ts->iso8601String(), text);
  }
  // UTC written as "Z" comes back in git's own "+00:00" form.
  EXPECT_EQ(GitTimestamp::fromStrictISO8601("2024-01-02T08:00:00Z")->iso8601String(), "2024-01-02T08:00:00+00:00");
}

TEST(GitTimestamp, DebugDescriptionNamesInstantAndOffset) {
  auto ts = GitTimestamp::fromStrictISO8601("2024-01-02T10:00:00+02:00");
  ASSERT_TRUE(ts);
  EXPECT_EQ(ts->debugDescription(), "<GitTimestamp 2024-01-02 08:00:00 +0000, offset=7200>");
}

// git's own strict dates, written with several zones, agree with its Unix
// timestamp and its numeric zone.
TEST(GitTimestamp, ParsesDatesPrintedByGit) {
  tavrik::testing::makeGitEnvironmentHermetic();
  tavrik::testing::ScratchRepo repo;
  const char* dates[] = {"2024-01-02T10:00:00+02:00", "2021-06-30T23:59:59-07:00", "2001-09-09T01:46:40+00:00",
                         "2024-03-10T12:00:00+05:30"};
  for (const char* date : dates) {
    SCOPED_TRACE(date);
    repo.write("f.txt", date);
    repo.git({"add", "f.txt"});
    setenv("GIT_AUTHOR_DATE", date, 1);
    repo.git({"commit", "-q", "-m", date});
    setenv("GIT_AUTHOR_DATE", "2024-01-02T10:00:00+02:00", 1);
    std::string out = repo.git({"log", "-1", "--format=%aI%x00%at%x00%ai"});
    auto iso = out.substr(0, out.find('\0'));
    auto rest = out.substr(out.find('\0') + 1);
    auto unix = std::stoll(rest.substr(0, rest.find('\0')));
    auto human = rest.substr(rest.find('\0') + 1);  // "2024-01-02 10:00:00 +0200\n"
    auto ts = GitTimestamp::fromStrictISO8601(iso);
    ASSERT_TRUE(ts) << iso;
    EXPECT_EQ(ts->date, at(unix));
    const int zone = std::stoi(human.substr(20, 5));  // +hhmm
    const int zoneSeconds = (zone / 100) * 3600 + (zone % 100) * 60;
    EXPECT_EQ(ts->offset, zoneSeconds);
    EXPECT_EQ(ts->iso8601String(), iso);
  }
}

TEST(GitTimestamp, HashAgreesWithEquality) {
  std::vector<GitTimestamp> values = {
      {at(0), 0}, {at(0), -0.0}, {at(0), 3600}, {at(1), 0}, {at(1, 1), 0}, {at(1), 0}, {at(-5), -18000},
  };
  tavrik::testing::expectHashAgreesWithEquality(values);
  std::vector<GitSignature> sigs = {
      {"A", "a@x", {at(0), 0}}, {"A", "a@x", {at(0), 0}}, {"B", "a@x", {at(0), 0}},
      {"A", "b@x", {at(0), 0}}, {"A", "a@x", {at(0), 60}},
  };
  tavrik::testing::expectHashAgreesWithEquality(sigs);
}

TEST(GitSignature, StringHasNoBlankBeforeEmail) {
  GitSignature s{"Jane Doe", "jane@example.com", {}};
  EXPECT_EQ(s.string(), "Jane Doe<jane@example.com>");
}
