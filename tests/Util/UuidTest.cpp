#include "tavrik/Util/Uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using tavrik::Uuid;

TEST(Uuid, RandomIsVersion4AndUnique) {
  std::set<Uuid> seen;
  // More than one refill of the per-thread pool.
  for (int i = 0; i < 1000; ++i) {
    auto u = Uuid::random();
    EXPECT_EQ(u.bytes()[6] >> 4, 4);
    EXPECT_EQ(u.bytes()[8] >> 6, 2);
    auto text = u.uuidString();
    EXPECT_EQ(text[14], '4');
    EXPECT_EQ(Uuid::parse(text), u);
    EXPECT_TRUE(seen.insert(u).second) << text;
  }
}

TEST(Uuid, ThreadsDrawDistinctValues) {
  std::vector<std::vector<Uuid>> perThread(4);
  std::vector<std::thread> threads;
  for (auto& out : perThread)
    threads.emplace_back([&out] {
      for (int i = 0; i < 300; ++i) out.push_back(Uuid::random());
    });
  for (auto& t : threads) t.join();
  std::set<Uuid> all;
  for (auto& v : perThread) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), 1200u);
}
