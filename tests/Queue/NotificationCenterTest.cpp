#include "tavrik/Queue/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

using namespace std::chrono_literals;
using tavrik::Notification;
using tavrik::NotificationCenter;
using tavrik::OperationQueue;

TEST(NotificationCenter, MatchesNameAndObjectAndCarriesUserInfo) {
  NotificationCenter center;
  int a = 0, b = 0;
  std::vector<std::string> seen;
  auto add = [&](std::string name, const void* object, std::string tag) {
    return center.addObserver(name, object, nullptr, [&seen, tag](const Notification& n) {
      auto it = n.userInfo.find("n");
      seen.push_back(tag + ":" + n.name + (it != n.userInfo.end() ? std::to_string(std::any_cast<int>(it->second)) : ""));
    });
  };
  auto t1 = add("ping", &a, "a"), t2 = add("", nullptr, "any"), t3 = add("ping", nullptr, "ping");
  center.post({"ping", &a, {{"n", std::any(1)}}});
  center.post({"ping", &b, {}});
  center.post({"pong", &a, {}});
  EXPECT_EQ(seen, (std::vector<std::string>{"a:ping1", "any:ping1", "ping:ping1", "any:ping", "ping:ping", "any:pong"}));
}

// A removed token is never called again: not twice-removed, not from a
// delivery already queued, not while it removes itself.
TEST(NotificationCenter, RemovedObserverIsNotCalledAgain) {
  NotificationCenter center;
  auto queue = std::make_shared<OperationQueue>(1);
  std::latch gate(1);
  queue->addOperation([&] { gate.wait(); });
  std::atomic<int> queued{0}, direct{0}, self{0};
  auto onQueue = center.addObserver("n", nullptr, queue, [&](const Notification&) { ++queued; });
  auto plain = center.addObserver("n", nullptr, nullptr, [&](const Notification&) { ++direct; });
  NotificationCenter::Token selfRemoving;
  selfRemoving = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    ++self;
    center.removeObserver(selfRemoving);
  });
  center.post({"n", nullptr, {}});
  center.removeObserver(onQueue);
  center.removeObserver(plain);
  center.removeObserver(plain);
  center.post({"n", nullptr, {}});
  gate.count_down();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queued.load(), 0);
  EXPECT_EQ(direct.load(), 1);
  EXPECT_EQ(self.load(), 1);
  EXPECT_EQ(center.observerCount(), 0u);
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

// Tokens removed from other threads while posts are in flight: no call after
// removal returns, no race (checked under ThreadSanitizer).
TEST(NotificationCenter, ConcurrentRemovalWhilePosting) {
  NotificationCenter center;
  constexpr int kObservers = 16;
  std::vector<std::atomic<int>> calls(kObservers);
  std::vector<std::atomic<bool>> removed(kObservers);
  std::atomic<int> lateCalls{0};
  std::vector<NotificationCenter::Token> tokens;
  for (int i = 0; i < kObservers; ++i)
    tokens.push_back(center.addObserver("n", nullptr, nullptr, [&, i](const Notification&) {
      if (removed[i].load()) ++lateCalls;
      ++calls[i];
    }));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < 3; ++p)
    threads.emplace_back([&] {
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
  for (auto& t : threads) t.join();
  for (int i = 0; i < kObservers; ++i) EXPECT_EQ(calls[i].load(), afterRemoval[i]) << "observer " << i;
  EXPECT_EQ(lateCalls.load(), 0);
}
