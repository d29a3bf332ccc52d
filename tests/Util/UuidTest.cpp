#include "tavrik/Util/Uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using tavrik::Uuid;

// Version 4, round-tripping through text, and distinct across pool refills
// and threads.
TEST(Uuid, RandomIsVersion4AndUniqueAcrossThreads) {
  std::vector<std::vector<Uuid>> perThread(4);
  std::vector<std::thread> threads;
  for (auto& out : perThread)
    threads.emplace_back([&out] {
      for (int i = 0; i < 400; ++i) out.push_back(Uuid::random());
    });
  for (auto& t : threads) t.join();
  std::set<Uuid> all;
  for (auto& v : perThread)
    for (const auto& u : v) {
      EXPECT_EQ(u.bytes()[6] >> 4, 4);
      EXPECT_EQ(u.bytes()[8] >> 6, 2);
      EXPECT_EQ(Uuid::parse(u.uuidString()), u);
      all.insert(u);
    }
  EXPECT_EQ(all.size(), 1600u);
}
