#include "tavrik/Process/GitProgress.h"

#include <gtest/gtest.h>

using tavrik::GitBuffer;
using tavrik::GitProgress;

namespace {

const std::vector<std::string> kFetchPhases = {"remote: Counting objects:", "remote: Compressing objects:",
                                               "Receiving objects:", "Resolving deltas:"};
const std::vector<std::string> kPushPhases = {"Counting objects:", "Compressing objects:", "Writing objects:",
                                              "remote: Resolving deltas:"};

} // namespace

namespace tavrik {
void PrintTo(const GitProgress::Update& update, std::ostream* os) { *os << update.percent << " " << update.line; }
} // namespace tavrik

TEST(GitProgress, FetchReceivingHalfWayIsSixtyThree) {
  GitProgress progress(kFetchPhases);
  EXPECT_EQ(progress.consume("Receiving objects:  50% (1/2)"), 63);
  EXPECT_EQ(progress.partialProgress(), (std::vector<double>{1.0, 1.0, 0.5, 0.0}));
}

TEST(GitProgress, PushWritingCompleteIsSeventyFiveUntilRemoteResolves) {
  GitProgress progress(kPushPhases);
  EXPECT_EQ(progress.consume("Writing objects: 100% (3/3), 262 bytes | 262.00 KiB/s, done."), 75);
  EXPECT_EQ(progress.consume("Total 3 (delta 0), reused 0 (delta 0), pack-reused 0"), 75);
  EXPECT_EQ(progress.consume("remote: Resolving deltas: 100% (2/2), done."), 100);
}

TEST(GitProgress, LineEndingAtPercentSignLeavesPercent) {
  GitProgress progress(kFetchPhases);
  progress.consume("Receiving objects:  50% (1/2)");
  EXPECT_EQ(progress.consume("Resolving deltas: 100%"), 63);
  EXPECT_EQ(progress.partialProgress()[3], 0.0);
}

// Lines that git writes, or could, and whether they move the numbers.
TEST(GitProgress, PercentFieldTable) {
  struct Case {
    const char* rest;
    std::optional<long long> value;
  };
  const std::vector<Case> cases = {
      {"  50% (1/2)", 50},   {" 100% (3/3), done.", 100}, {"100%", std::nullopt}, {" 7%x", 7},
      {"\t 9 \t% y", 9},      {"%%12% z", 12},             {"abc% (1/2)", std::nullopt},
      {"% (1/2)", std::nullopt}, {"", std::nullopt},       {" 1 2% x", std::nullopt},
      {"+5% x", 5},          {"-5% x", -5},                {"+-5% x", std::nullopt},
      {"99999999999999999999% x", std::nullopt},          {"done", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rest);
    EXPECT_EQ(GitProgress::percentField(c.rest), c.value);
  }
}

TEST(GitProgress, RoundsHalvesAwayFromZero) {
  GitProgress progress({"A:", "B:", "C:", "D:"});
  EXPECT_EQ(progress.consume("A: 2% x"), 1);  // 0.5 -> 1
  EXPECT_EQ(progress.consume("A: 6% x"), 2);  // 1.5 -> 2
  EXPECT_EQ(progress.consume("A: -2% x"), -1); // -0.5 -> -1
  EXPECT_EQ(progress.consume("A: 1% x"), 0);  // 0.25 -> 0
}

TEST(GitProgress, EveryMatchingPhaseIsApplied) {
  // Both prefixes match; the later phase wins and completes the earlier one.
  GitProgress progress({"Counting", "Counting objects:"});
  EXPECT_EQ(progress.consume("Counting objects: 40% (2/5)"), 35);
  EXPECT_EQ(progress.partialProgress(), (std::vector<double>{1.0, 0.4}));
  progress.reset();
  EXPECT_EQ(progress.partialProgress(), (std::vector<double>{0.0, 0.0}));
}

// git rewrites its progress line in place with CR and ends a phase with LF;
// the drain hands over arbitrary chunks, one segment is taken per chunk.
TEST(GitProgress, ConsumesOneSegmentPerChunk) {
  GitBuffer buffer;
  GitProgress progress(kFetchPhases);
  const std::vector<std::string> chunks = {
      "remote: Enumerating objects: 5, done.\n",
      "remote: Counting objects:  20% (1/5)\r",
      "remote: Counting objects: 100% (5/5), done.\n",
      "Receiving objects:  25% (1/4)\rReceiving",
      " objects:  75% (3/4)\r",
      "Receiving objects: 100% (4/4), done.\n",
  };
  std::vector<GitProgress::Update> updates;
  for (const auto& chunk : chunks) {
    buffer.append(chunk);
    if (auto update = progress.consumeNextLine(buffer)) updates.push_back(*update);
  }
  const std::vector<GitProgress::Update> expected = {
      {"remote: Enumerating objects: 5, done.", 0},
      {"remote: Counting objects:  20% (1/5)", 5},
      {"remote: Counting objects: 100% (5/5), done.", 25},
      {"Receiving objects:  25% (1/4)", 56},
      {"Receiving objects:  75% (3/4)", 69},
      {"Receiving objects: 100% (4/4), done.", 75},
  };
  EXPECT_EQ(updates, expected);
  EXPECT_EQ(progress.consumeNextLine(buffer), std::nullopt);
}

// When a chunk ends inside a line and nothing earlier is pending, the part
// that has arrived is taken as the line; the rest comes with the next chunk.
TEST(GitProgress, TakesPartialLineAsItStands) {
  GitBuffer buffer;
  GitProgress progress(kFetchPhases);
  buffer.append("Receiving objects:  50");
  auto first = progress.consumeNextLine(buffer);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->line, "Receiving objects:  50");
  EXPECT_EQ(first->percent, 0);
  buffer.append("% (1/2)\r");
  auto second = progress.consumeNextLine(buffer);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->line, "% (1/2)");
  EXPECT_EQ(second->percent, 0);
}

TEST(GitProgress, SkipsInvalidUtf8Segment) {
  GitBuffer buffer(std::string("Receiving objects: \xff 50% (1/2)\rReceiving objects:  50% (1/2)\r"));
  GitProgress progress(kFetchPhases);
  EXPECT_EQ(progress.consumeNextLine(buffer), std::nullopt);
  EXPECT_EQ(progress.percent(), 0);
  auto update = progress.consumeNextLine(buffer);
  ASSERT_TRUE(update);
  EXPECT_EQ(update->percent, 63);
}

TEST(GitProgress, HugeNumbersDoNotOverflow) {
  GitProgress progress({"A:"});
  EXPECT_EQ(progress.consume("A: 9223372036854775807% x"), INT_MAX);
}
