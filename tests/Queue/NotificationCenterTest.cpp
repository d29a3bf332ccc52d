#include "tavrik/Queue/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tavrik::Notification;
using tavrik::NotificationCenter;
using tavrik::OperationQueue;

TEST(NotificationCenter, MatchesNameAndObject) {
  NotificationCenter center;
  int a = 0, b = 0;
  std::vector<std::string> seen;
  auto t1 = center.addObserver("ping", &a, nullptr, [&](const Notification& n) { seen.push_back("a:" + n.name); });
  auto t2 = center.addObserver("", nullptr, nullptr, [&](const Notification& n) { seen.push_back("any:" + n.name); });
  auto t3 = center.addObserver("ping", nullptr, nullptr, [&](const Notification& n) { seen.push_back("ping:" + n.name); });

  center.post({"ping", &a, {}});
  center.post({"ping", &b, {}});
  center.post({"pong", &a, {}});
  EXPECT_EQ(seen, (std::vector<std::string>{"a:ping", "any:ping", "ping:ping", "any:ping", "ping:ping", "any:pong"}));
  EXPECT_EQ(center.observerCount(), 3u);
}

TEST(NotificationCenter, CarriesUserInfo) {
  NotificationCenter center;
  int value = 0;
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification& n) {
    if (auto* v = std::any_cast<int>(&n.userInfo.at("count"))) value = *v;
  });
  center.post({"n", nullptr, {{"count", std::any(42)}}});
  EXPECT_EQ(value, 42);
}

TEST(NotificationCenter, DeliversOnTheChosenQueue) {
  NotificationCenter center;
  auto queue = std::make_shared<OperationQueue>(1);
  std::atomic<bool> called{false};
  std::thread::id deliveredOn;
  auto token = center.addObserver("n", nullptr, queue, [&](const Notification&) {
    deliveredOn = std::this_thread::get_id();
    called = true;
  });
  center.post({"n", nullptr, {}});
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(called);
  EXPECT_NE(deliveredOn, std::this_thread::get_id());
}

TEST(NotificationCenter, RemovedTokenIsNotCalledAgain) {
  NotificationCenter center;
  int calls = 0;
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification&) { ++calls; });
  center.post({"n", nullptr, {}});
  center.removeObserver(token);
  center.removeObserver(token); // twice is harmless
  center.post({"n", nullptr, {}});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(center.observerCount(), 0u);
}

// A delivery queued on an operation queue before removal must not run after it.
TEST(NotificationCenter, RemovalCancelsQueuedDeliveries) {
  NotificationCenter center;
  auto queue = std::make_shared<OperationQueue>(1);
  std::latch gate(1);
  queue->addOperation([&] { gate.wait(); });
  std::atomic<int> calls{0};
  auto token = center.addObserver("n", nullptr, queue, [&](const Notification&) { ++calls; });
  center.post({"n", nullptr, {}});
  center.removeObserver(token);
  gate.count_down();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(calls.load(), 0);
}

// removeObserver waits for a call in progress on another thread.
TEST(NotificationCenter, RemovalWaitsForARunningCall) {
  NotificationCenter center;
  std::latch entered(1);
  std::atomic<bool> exited{false};
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    entered.count_down();
    std::this_thread::sleep_for(50ms);
    exited = true;
  });
  std::thread poster([&] { center.post({"n", nullptr, {}}); });
  entered.wait();
  center.removeObserver(token);
  EXPECT_TRUE(exited);
  poster.join();
}

TEST(NotificationCenter, ObserverMayRemoveItself) {
  NotificationCenter center;
  NotificationCenter::Token token;
  int calls = 0;
  token = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    ++calls;
    center.removeObserver(token);
  });
  center.post({"n", nullptr, {}});
  center.post({"n", nullptr, {}});
  EXPECT_EQ(calls, 1);
}

// Tokens removed from other threads while posts are in flight: no call after
// removal returns, no race (checked under ThreadSanitizer).
TEST(NotificationCenter, ConcurrentRemovalWhilePosting) {
  NotificationCenter center;
  constexpr int kObservers = 16;
  std::vector<std::atomic<int>> calls(kObservers);
  std::vector<std::atomic<bool>> removed(kObservers);
  std::atomic<int> lateCalls{0};
  std::vector<NotificationCenter::Token> tokens;
  for (int i = 0; i < kObservers; ++i) {
    tokens.push_back(center.addObserver("n", nullptr, nullptr, [&, i](const Notification&) {
      if (removed[i].load()) ++lateCalls;
      ++calls[i];
    }));
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int p = 0; p < 3; ++p)
    posters.emplace_back([&] {
      while (!stop) center.post({"n", nullptr, {}});
    });
  std::vector<std::thread> removers;
  for (int r = 0; r < 2; ++r)
    removers.emplace_back([&, r] {
      for (int i = r; i < kObservers; i += 2) {
        std::this_thread::sleep_for(1ms);
        center.removeObserver(tokens[i]);
        removed[i] = true;
      }
    });
  for (auto& t : removers) t.join();
  std::vector<int> afterRemoval(kObservers);
  for (int i = 0; i < kObservers; ++i) afterRemoval[i] = calls[i].load();
  std::this_thread::sleep_for(10ms);
  stop = true;
  for (auto& t : posters) t.join();
  for (int i = 0; i < kObservers; ++i) EXPECT_EQ(calls[i].load(), afterRemoval[i]) << "observer " << i;
  EXPECT_EQ(lateCalls.load(), 0);
  EXPECT_EQ(center.observerCount(), 0u);
}
