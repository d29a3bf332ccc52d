#include "tavrik/Util/SharedValue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavrik;

using Strings = std::vector<std::string>;

TEST(SharedValue, ReadsLikeAnOptional) {
  SharedValue<Strings> none;
  EXPECT_FALSE(none);
  EXPECT_FALSE(none.has_value());
  EXPECT_TRUE(none == std::nullopt);
  EXPECT_THROW(none.value(), std::bad_optional_access);
  EXPECT_EQ(none.value_or(Strings{"fallback"}), Strings{"fallback"});

  SharedValue<Strings> some = Strings{"a", "b"};
  ASSERT_TRUE(some);
  EXPECT_EQ(some->size(), 2u);
  EXPECT_EQ((*some)[1], "b");
  EXPECT_EQ(some.value_or(Strings{}), (Strings{"a", "b"}));
  some = std::nullopt;
  EXPECT_FALSE(some);
}

TEST(SharedValue, CopiesShareOneValue) {
  SharedValue<Strings> a = Strings(1000, "entry");
  SharedValue<Strings> b = a;
  EXPECT_EQ(a.shared().get(), b.shared().get());
  // Assigning a new value to one copy leaves the other as it was.
  b = Strings{"other"};
  EXPECT_EQ(a->size(), 1000u);
  EXPECT_EQ(b->size(), 1u);
}

TEST(SharedValue, EqualityByValue) {
  SharedValue<Strings> a = Strings{"x"}, b = Strings{"x"}, c = Strings{"y"}, none, alsoNone;
  EXPECT_NE(a.shared(), b.shared());
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_FALSE(a == none);
  EXPECT_FALSE(none == a);
  EXPECT_TRUE(none == alsoNone);
  EXPECT_TRUE(a == Strings{"x"});
  EXPECT_FALSE(none == Strings{});
  // Empty but present differs from absent.
  EXPECT_FALSE(SharedValue<Strings>(Strings{}) == none);
}

TEST(SharedValue, HashAgreesWithEquality) {
  std::hash<SharedValue<Strings>> hash;
  SharedValue<Strings> a = Strings{"x", "y"}, b = Strings{"x", "y"}, none, alsoNone;
  EXPECT_EQ(hash(a), hash(b));
  EXPECT_EQ(hash(none), hash(alsoNone));
  // Hashes like the optional it stands in for.
  EXPECT_EQ(detail::hashOf(a), detail::hashOf(std::optional<Strings>(Strings{"x", "y"})));
  EXPECT_EQ(detail::hashOf(none), detail::hashOf(std::optional<Strings>()));
  EXPECT_NE(hash(a), hash(none));
}
