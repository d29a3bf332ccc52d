#include "tavrik/Interfaces/Future.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

} // namespace

TEST(Future, ResolvesOnceAndKeepsTheFirstValue) {
  Future<int> f;
  EXPECT_FALSE(f.isSettled());
  EXPECT_TRUE(f.resolve(1));
  EXPECT_FALSE(f.resolve(2));
  EXPECT_FALSE(f.reject(TestError(1)));
  EXPECT_FALSE(f.cancel());
  EXPECT_TRUE(f.isResolved());
  EXPECT_FALSE(f.isCancelled());
  EXPECT_EQ(f.value(), 1);
  EXPECT_EQ(f.wait(), 1);
}

TEST(Future, WaitWithALimitThrowsTimeoutError) {
  Future<int> f;
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(f.wait(20ms), TimeoutError);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_FALSE(f.isSettled()); // a timed-out wait settles nothing
  f.resolve(3);
  EXPECT_EQ(f.wait(0ms), 3);
}

TEST(Future, CancelSemantics) {
  Future<int> f;
  std::atomic<int> successes{0}, cancelFailures{0};
  f.onSuccess([&](const int&) { ++successes; });
  f.onFailure([&](const std::exception_ptr& e) {
    try {
      std::rethrow_exception(e);
    } catch (const CancelledError&) {
      ++cancelFailures;
    } catch (...) {
    }
  });
  auto mapped = f.map([](const int& v) { return v * 2; });
  auto chained = f.then([](const int& v) { return Future<int>::resolved(v); });
  EXPECT_TRUE(f.cancel());
  EXPECT_TRUE(f.isCancelled());
  EXPECT_TRUE(f.isRejected());
  EXPECT_FALSE(f.cancel());
  EXPECT_FALSE(f.resolve(1));
  EXPECT_THROW(f.wait(), CancelledError);
  EXPECT_THROW(mapped.wait(1s), CancelledError);
  EXPECT_THROW(chained.wait(1s), CancelledError);
  EXPECT_EQ(successes.load(), 0);
  EXPECT_EQ(cancelFailures.load(), 1);
  // An observer added after the cancel runs at once, with the same error.
  f.onFailure([&](const std::exception_ptr&) { ++cancelFailures; });
  EXPECT_EQ(cancelFailures.load(), 2);

  auto settled = Future<int>::resolved(5);
  EXPECT_FALSE(settled.cancel());
  EXPECT_EQ(settled.wait(), 5);
}

TEST(Future, MapAndThen) {
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
  try {
    throwing.wait(1s);
    ADD_FAILURE();
  } catch (const TestError& e) {
    EXPECT_EQ(e.code, 7);
  }
  EXPECT_THROW(thenThrowing.wait(1s), TestError);

  Future<int> failing;
  auto passes = failing.map([](const int& v) { return v; }).then([](const int& v) { return Future<int>::resolved(v); });
  failing.reject(TestError(3));
  EXPECT_THROW(passes.wait(1s), TestError);
}

TEST(Future, ThrowingObserverDoesNotStopTheOthers) {
  Future<int> f;
  int ran = 0;
  f.onSuccess([](const int&) { throw std::runtime_error("observer"); });
  f.onSuccess([&](const int&) { ++ran; });
  EXPECT_TRUE(f.resolve(1));
  EXPECT_EQ(ran, 1);
}

// An observer may release the last handle of the future it observes; the
// remaining observers must still see a live value.
TEST(Future, ObserverMayReleaseTheLastHandle) {
  auto* handle = new Future<std::string>();
  std::string seen;
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

// Derived futures under contention: a map chain settles once however the
// source is settled.
TEST(Future, DerivedFuturesSettleOnceUnderContention) {
  for (int round = 0; round < 100; ++round) {
    Future<int> source;
    std::atomic<int> derivedCalls{0};
    std::vector<Future<int>> derived;
    std::latch start(3);
    std::thread mapper([&] {
      start.arrive_and_wait();
      for (int i = 0; i < 10; ++i) {
        auto d = source.map([](const int& v) { return v + 1; });
        d.onSuccess([&](const int&) { ++derivedCalls; });
        d.onFailure([&](const std::exception_ptr&) { ++derivedCalls; });
        derived.push_back(d);
      }
    });
    std::thread resolver([&] {
      start.arrive_and_wait();
      source.resolve(round);
    });
    std::thread canceller([&] {
      start.arrive_and_wait();
      source.cancel();
    });
    mapper.join();
    resolver.join();
    canceller.join();
    EXPECT_EQ(derivedCalls.load(), 10);
    for (auto& d : derived) EXPECT_EQ(d.isResolved(), source.isResolved());
  }
}
