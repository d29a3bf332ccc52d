#include "tavrik/Interfaces/Oid.h"

#include <gtest/gtest.h>
#include <unordered_set>

using arbor::Oid;

TEST(Oid, ParsesFortyHexDigitsInEitherCase) {
  auto lower = Oid::parse("0123456789abcdef0123456789abcdef01234567");
  auto upper = Oid::parse("0123456789ABCDEF0123456789ABCDEF01234567");
  ASSERT_TRUE(lower && upper);
  EXPECT_EQ(*lower, *upper);
  EXPECT_EQ(upper->string(), "0123456789abcdef0123456789abcdef01234567");
  EXPECT_FALSE(lower->isZero());
}

TEST(Oid, RejectsAnyOtherText) {
  for (const char* text : {"", "0123", "0123456789abcdef0123456789abcdef0123456",
                           "0123456789abcdef0123456789abcdef012345678", "g123456789abcdef0123456789abcdef01234567",
                           " 123456789abcdef0123456789abcdef01234567"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(Oid::parse(text));
  }
}

TEST(Oid, ZeroIdIsValidAndHashAgreesWithEquality) {
  auto zero = Oid::parse(std::string(40, '0'));
  ASSERT_TRUE(zero);
  EXPECT_TRUE(zero->isZero());
  EXPECT_EQ(*zero, Oid::zero);
  std::unordered_set<Oid> set{*zero, Oid::zero, *Oid::parse(std::string(40, 'f'))};
  EXPECT_EQ(set.size(), 2u);
}
