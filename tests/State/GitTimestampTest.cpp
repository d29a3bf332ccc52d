#include "tavrik/State/GitTimestamp.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;
using std::chrono::seconds;

namespace {
Date at(int64_t epochSeconds, int64_t nanos = 0) {
  return Date(std::chrono::duration_cast<Date::duration>(seconds(epochSeconds) + std::chrono::nanoseconds(nanos)));
}
} // namespace

TEST(GitTimestamp, ParsesStrictISO8601AndWritesItBack) {
  struct Case {
    const char* text;
    int64_t epoch; // UTC seconds; 2024-01-02T08:00:00Z is 1704182400
    int64_t nanos;
    double offset;
    const char* written; // null: the text itself
  } cases[] = {
      {"2024-01-02T10:00:00+02:00", 1704182400, 0, 7200, nullptr},
      {"2024-01-02T03:00:00-05:00", 1704182400, 0, -18000, nullptr},
      {"2024-01-02T08:00:00Z", 1704182400, 0, 0, "2024-01-02T08:00:00+00:00"},
      {"2024-01-02T08:00:00z", 1704182400, 0, 0, "2024-01-02T08:00:00+00:00"},
      {"2024-01-02T08:00:00-00:00", 1704182400, 0, 0, "2024-01-02T08:00:00+00:00"},
      {"2024-01-02T13:45:00+05:45", 1704182400, 0, 20700, nullptr},
      {"2024-01-02T10:00:00.123456789+02:00", 1704182400, 123456789, 7200, nullptr},
      {"2024-01-02T08:00:00.1234567891234Z", 1704182400, 123456789, 0, "2024-01-02T08:00:00.123456789+00:00"},
      {"1969-12-31T23:59:59Z", -1, 0, 0, "1969-12-31T23:59:59+00:00"},
      {"2000-02-29T00:00:00Z", 951782400, 0, 0, "2000-02-29T00:00:00+00:00"},
      {"2023-12-31T23:59:60Z", 1704067200, 0, 0, "2024-01-01T00:00:00+00:00"}, // leap second rolls over
      {"2024-01-01T01:00:00+02:00", 1704063600, 0, 7200, nullptr},             // across a year boundary
      {"2024-02-29T23:30:00.000000001-09:30", 1709283600, 1, -34200, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto ts = GitTimestamp::fromStrictISO8601(c.text);
    ASSERT_TRUE(ts.has_value());
    EXPECT_EQ(ts->date, at(c.epoch, c.nanos));
    EXPECT_EQ(ts->offset, c.offset);
    EXPECT_EQ(ts->iso8601String(), c.written ? c.written : c.text);
  }
}

TEST(GitTimestamp, RejectsMalformedText) {
  const char* bad[] = {
      "", "Z", "+02:00", "2024", "2024-01-02", "2024-01-02T10:00:00", "2024-01-02 10:00:00+02:00",
      "2024-01-02T10:00+02:00", "2024-01-02T10:00:00+0200", "2024-01-02T10:00:00+02", "2024-01-02T10:00:00+02:0",
      "2024-01-02T10:00:00.+02:00", "2024-01-02T10:00:00ZZ", "2024-01-02T10:00:00+02:00 ", " 2024-01-02T10:00:00Z",
      "2024-13-02T10:00:00Z", "2024-00-02T10:00:00Z", "2024-01-32T10:00:00Z", "2023-02-29T10:00:00Z",
      "1900-02-29T10:00:00Z", "2024-04-31T10:00:00Z", "2024-01-02T24:00:00Z", "2024-01-02T10:60:00Z",
      "2024-01-02T10:00:61Z", "2024-01-02T10:00:00+24:00", "2024-01-02T10:00:00+02:60", "2024-1-02T10:00:00Z",
      "２０２４-01-02T10:00:00Z", "0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z", // beyond what the clock holds
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(GitTimestamp::fromStrictISO8601(text).has_value());
  }
  EXPECT_FALSE(GitTimestamp::fromStrictISO8601(std::string_view("2024-01-02T10:00:00Z\0x", 22)));
}

// Every author and committer date of the scenario, as git prints it,
// against git's Unix time for it.
TEST(GitTimestamp, AgreesWithGitsOwnDates) {
  auto out = ScenarioRepo::shared().work.git({"log", "--all", "--format=%aI %at %cI %ct"});
  std::istringstream in(out);
  int dates = 0;
  for (std::string iso, unix; in >> iso >> unix; ++dates) {
    SCOPED_TRACE(iso);
    auto ts = GitTimestamp::fromStrictISO8601(iso);
    ASSERT_TRUE(ts);
    EXPECT_EQ(ts->date, at(std::stoll(unix)));
    EXPECT_EQ(ts->iso8601String(), iso);
  }
  EXPECT_GT(dates, 20);
}
