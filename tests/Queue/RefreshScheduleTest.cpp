#include "Queue/RefreshSchedule.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::detail;
using namespace std::chrono_literals;

namespace {

// A schedule on a clock the test moves by hand: 50 ms quiet, 1 s at most,
// polling every 5 s.
struct Stepped {
  RefreshSchedule::Clock::time_point now{};
  RefreshSchedule schedule{GitRepositoryWatcherOptions{}, [this] { return now; }};
  // Moves the clock on and takes what is due.
  RefreshSchedule::Due after(std::chrono::milliseconds step) {
    now += step;
    return schedule.takeDue();
  }
};

} // namespace

TEST(RefreshSchedule, ARefreshComesOnceTheDiskIsQuiet) {
  Stepped s;
  EXPECT_FALSE(s.schedule.timeUntilDue());
  s.schedule.noteChange(GitAspects::refs);
  EXPECT_EQ(s.schedule.timeUntilDue(), 50ms);
  EXPECT_TRUE(s.after(30ms).aspects.isEmpty());
  s.schedule.noteCandidate("a.txt");
  s.schedule.noteCandidate("a.txt");
  EXPECT_EQ(s.schedule.timeUntilDue(), 50ms);
  EXPECT_TRUE(s.after(49ms).aspects.isEmpty());
  auto due = s.after(1ms);
  EXPECT_EQ(due.aspects, GitAspects::refs);
  EXPECT_EQ(due.candidates, std::vector<std::string>{"a.txt"});
  EXPECT_FALSE(s.schedule.timeUntilDue());
  EXPECT_TRUE(s.after(1h).aspects.isEmpty());
}

TEST(RefreshSchedule, ChangesThatKeepComingAreRefreshedByTheMaximumDelay) {
  Stepped s;
  int refreshes = 0;
  for (int step = 0; step < 99; ++step) { // a change every 20 ms for almost two seconds
    s.schedule.noteChange(GitAspects::status);
    if (!s.after(20ms).aspects.isEmpty()) ++refreshes;
  }
  EXPECT_EQ(refreshes, 1); // at 1 s; the second second is still under way
  EXPECT_EQ(s.schedule.timeUntilDue(), 20ms);
}

TEST(RefreshSchedule, RunningOperationsHoldChangesBackUntilTheMaximumDelay) {
  Stepped s;
  s.schedule.operationWillRun();
  s.schedule.noteChange(GitAspects::head);
  EXPECT_TRUE(s.after(500ms).aspects.isEmpty());
  EXPECT_EQ(s.schedule.timeUntilDue(), 500ms);
  EXPECT_EQ(s.after(500ms).aspects, GitAspects::head);

  s.schedule.noteChange(GitAspects::head);
  EXPECT_TRUE(s.after(100ms).aspects.isEmpty());
  s.schedule.operationDidRun();
  EXPECT_EQ(s.schedule.takeDue().aspects, GitAspects::head); // quiet for longer than 50 ms already
}

TEST(RefreshSchedule, ARefreshAskedElsewhereCoversWhatItRefreshes) {
  Stepped s;
  s.schedule.noteChange(GitAspects{GitAspects::refs, GitAspects::status});
  s.schedule.noteCandidate("a.txt");
  s.schedule.covered(GitAspects::status);
  auto due = s.after(50ms);
  EXPECT_EQ(due.aspects, GitAspects::refs);
  EXPECT_TRUE(due.candidates.empty());

  s.schedule.noteCandidate("b.txt");
  s.schedule.covered(GitAspects::all);
  EXPECT_FALSE(s.schedule.timeUntilDue());
}

TEST(RefreshSchedule, PolledAspectsComeEveryFallbackInterval) {
  Stepped s;
  s.schedule.poll(GitAspects{GitAspects::status, GitAspects::submodules});
  s.schedule.poll(GitAspects::status); // already polled: the period is not restarted
  EXPECT_EQ(s.schedule.timeUntilDue(), 5s);
  s.now += 3s;
  s.schedule.noteChange(GitAspects::refs);
  EXPECT_EQ(s.after(50ms).aspects, GitAspects::refs);
  EXPECT_TRUE(s.after(1900ms).aspects.isEmpty());
  EXPECT_EQ(s.after(50ms).aspects, (GitAspects{GitAspects::status, GitAspects::submodules}));
  EXPECT_EQ(s.schedule.timeUntilDue(), 5s);
}
