#include "tavrik/Interfaces/Future.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

using namespace std::chrono_literals;
using pledge::CancelledError;
using pledge::Future;
using pledge::TimeoutError;

namespace {

struct TestError : tavrik::Error {
  explicit TestError(int code) : code(code) {}
  int code;
  std::string localizedDescription() const override { return "test error " + std::to_string(code); }
};

int errorCode(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const TestError& error) {
    return error.code;
  } catch (const CancelledError&) {
    return -1;
  } catch (...) {
    return -2;
  }
}

} // namespace

// A future settles once, whichever way: the first settlement stays, later
// ones return false and change nothing; a timed-out wait settles nothing.
TEST(Future, SettlesOnceWhicheverWay) {
  for (int first : {0, 1, 2}) {
    SCOPED_TRACE(first);
    Future<int> f;
    EXPECT_THROW(f.wait(5ms), TimeoutError);
    EXPECT_FALSE(f.isSettled());
    std::atomic<int> successes{0}, failures{0};
    f.onSuccess([&](const int&) { ++successes; });
    f.onFailure([&](const std::exception_ptr& e) { failures += errorCode(e) == (first == 1 ? 1 : -1) ? 1 : 100; });
    auto mapped = f.map([](const int& v) { return v * 2; });
    auto settle = [&](int way) { return way == 0 ? f.resolve(1) : way == 1 ? f.reject(TestError(1)) : f.cancel(); };
    EXPECT_TRUE(settle(first));
    for (int again : {0, 1, 2}) EXPECT_FALSE(settle(again));
    EXPECT_EQ(f.isResolved(), first == 0);
    EXPECT_EQ(f.isRejected(), first != 0); // cancelled counts as rejected
    EXPECT_EQ(f.isCancelled(), first == 2);
    EXPECT_EQ(successes.load(), first == 0 ? 1 : 0);
    EXPECT_EQ(failures.load(), first == 0 ? 0 : 1);
    // An observer added after settling runs at once, with the same outcome.
    f.onFailure([&](const std::exception_ptr&) { ++failures; });
    EXPECT_EQ(failures.load(), first == 0 ? 0 : 2);
    if (first == 0) {
      EXPECT_EQ(f.wait(0ms), 1);
      EXPECT_EQ(mapped.wait(1s), 2);
    } else if (first == 1) {
      EXPECT_THROW(mapped.wait(1s), TestError);
    } else {
      EXPECT_THROW(f.wait(), CancelledError);
      EXPECT_THROW(mapped.wait(1s), CancelledError);
    }
  }
}

TEST(Future, MapAndThenCarryValuesAndErrors) {
  Future<int> f;
  auto mapped = f.map([](const int& v) { return std::to_string(v); });
  auto chained = f.then([](const int& v) {
    Future<double> inner;
    std::thread([inner, v] { inner.resolve(v / 2.0); }).detach();
    return inner;
  });
  auto throwing = f.map([](const int&) -> int { throw TestError(7); });
  auto thenThrowing = f.then([](const int&) -> Future<int> { throw TestError(8); });
  f.resolve(9);
  EXPECT_EQ(mapped.wait(1s), "9");
  EXPECT_EQ(chained.wait(1s), 4.5);
  throwing.onFailure([](const std::exception_ptr& e) { EXPECT_EQ(errorCode(e), 7); });
  EXPECT_THROW(throwing.wait(1s), TestError);
  EXPECT_THROW(thenThrowing.wait(1s), TestError);
  Future<int> failing;
  auto passes = failing.map([](const int& v) { return v; }).then([](const int& v) { return Future<int>::resolved(v); });
  failing.reject(TestError(3));
  passes.onFailure([](const std::exception_ptr& e) { EXPECT_EQ(errorCode(e), 3); });
  EXPECT_THROW(passes.wait(1s), TestError);
}

// A throwing observer does not stop the others, and an observer may release
// the last handle of the future it observes.
TEST(Future, ObserversSurviveThrowingAndReleasingObservers) {
  auto* handle = new Future<std::string>();
  std::string seen;
  handle->onSuccess([](const std::string&) { throw std::runtime_error("observer"); });
  handle->onSuccess([handle](const std::string&) { delete handle; });
  handle->onSuccess([&](const std::string& v) { seen = v; });
  handle->resolve(std::string(100, 'x')); // long enough to live on the heap
  EXPECT_EQ(seen, std::string(100, 'x'));
  auto* failing = new Future<int>();
  int failures = 0;
  failing->onFailure([failing](const std::exception_ptr&) { delete failing; });
  failing->onFailure([&](const std::exception_ptr& e) { failures += e != nullptr; });
  failing->reject(TestError(1));
  EXPECT_EQ(failures, 1);
}

// Resolvers, rejecters and cancellers race; exactly one wins, and every
// observer (registered before, during or after) runs exactly once with the
// winning outcome. Both orders of registration and settlement occur.
TEST(Future, ContentionExactlyOneSettlementWins) {
  constexpr int kRounds = 200;
  constexpr int kSettlers = 6;
  constexpr int kObservers = 4;
  for (int round = 0; round < kRounds; ++round) {
    Future<int> f;
    std::latch start(kSettlers + kObservers + 2);
    std::atomic<int> wins{0};
    std::atomic<int> winner{-1};
    std::atomic<int> successCalls{0}, failureCalls{0};
    std::atomic<int> observedValue{-1};
    std::vector<std::thread> threads;
    for (int s = 0; s < kSettlers; ++s) {
      threads.emplace_back([&, s] {
        start.arrive_and_wait();
        bool won = s % 3 == 0 ? f.resolve(s) : s % 3 == 1 ? f.reject(TestError(s)) : f.cancel();
        if (won) {
          ++wins;
          winner = s;
        }
      });
    }
    for (int o = 0; o < kObservers; ++o) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        f.onSuccess([&](const int& v) {
          observedValue = v;
          ++successCalls;
        });
        f.onFailure([&](const std::exception_ptr&) { ++failureCalls; });
      });
    }
    std::atomic<int> waiterOutcome{0}; // 1 value, 2 error
    threads.emplace_back([&] {
      start.arrive_and_wait();
      try {
        f.wait();
        waiterOutcome = 1;
      } catch (...) {
        waiterOutcome = 2;
      }
    });
    threads.emplace_back([&] {
      start.arrive_and_wait();
      try {
        f.wait(5s);
      } catch (const TimeoutError&) {
        ADD_FAILURE() << "a settled future timed out";
      } catch (...) {
      }
    });
    for (auto& t : threads) t.join();

    ASSERT_EQ(wins.load(), 1) << "round " << round;
    int w = winner.load();
    if (w % 3 == 0) {
      EXPECT_EQ(successCalls.load(), kObservers);
      EXPECT_EQ(failureCalls.load(), 0);
      EXPECT_EQ(observedValue.load(), w);
      EXPECT_EQ(waiterOutcome.load(), 1);
      EXPECT_EQ(f.value(), w);
    } else {
      EXPECT_EQ(successCalls.load(), 0);
      EXPECT_EQ(failureCalls.load(), kObservers);
      EXPECT_EQ(waiterOutcome.load(), 2);
      EXPECT_EQ(f.isCancelled(), w % 3 == 2);
    }
  }
}

