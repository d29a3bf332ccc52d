#include "tavrik/Process/GitBuffer.h"

#include <gtest/gtest.h>

using namespace std::string_literals;
using tavrik::GitBuffer;

TEST(GitBuffer, ScanToAnyConsumesDelimiterAndReturnsUnterminatedLastField) {
  struct Case {
    std::string data;
    GitBuffer::ByteSet set;
    std::vector<std::string> fields;
  } cases[] = {
      {"a\nb", GitBuffer::kLF, {"a", "b"}},
      {"a\nb\n", GitBuffer::kLF, {"a", "b"}},
      {"\n\n", GitBuffer::kLF, {"", ""}},
      {"a\r\nb", GitBuffer::kEOL, {"a", "", "b"}},
      {"x\n\ry", GitBuffer::kEOL, {"x", "", "y"}},
      {"\0\0x"s, GitBuffer::kNull, {"", "", "x"}},
      {"a b  c", GitBuffer::kSpace, {"a", "b", "", "c"}},
      {"a;b", GitBuffer::ByteSet{}, {"a;b"}},
      {"k=v&x&=y", GitBuffer::ByteSet{'=', '&'}, {"k", "v", "x", "", "y"}},
      {"\xff\x01\xff", GitBuffer::ByteSet{0xFF}, {"", "\x01"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    GitBuffer buffer(c.data);
    std::vector<std::string> fields;
    while (auto field = buffer.scanToAny(c.set)) fields.emplace_back(*field);
    EXPECT_EQ(fields, c.fields);
    EXPECT_EQ(buffer.offsetIndex(), c.data.size());
  }
}

// git's progress lines end in CR with a single LF at the very end.
TEST(GitBuffer, EndOfLineScanStaysLinearOverLongCarriageReturnRuns) {
  std::string data;
  for (int i = 0; i < 200000; ++i) data += "Receiving objects: 12%\r";
  GitBuffer buffer(data + "done\n");
  size_t lines = 0;
  while (buffer.scanToEOL()) ++lines;
  EXPECT_EQ(lines, 200001u);
}

// The last field is returned before the producer has finished; a string scan
// that is not UTF-8 gives nothing but still moves on.
TEST(GitBuffer, FillAppendsWithoutMovingAndStringsNeedUTF8) {
  GitBuffer buffer;
  buffer.fill("a\nb");
  EXPECT_EQ(buffer.scanStringToLF(), "a");
  EXPECT_EQ(buffer.scanStringToLF(), "b");
  buffer.fill("c\n\xc3\x28\n\xc3\xa9t\n"s);
  EXPECT_EQ(buffer.scanStringToLF(), "c");
  EXPECT_EQ(buffer.scanStringToLF(), std::nullopt);
  EXPECT_EQ(buffer.scanStringToLF(), "\xc3\xa9t");
  EXPECT_FALSE(buffer.isFinalized());
  buffer.fill(std::nullopt);
  EXPECT_TRUE(buffer.isFinalized());
  EXPECT_EQ(buffer.data(), "a\nbc\n\xc3\x28\n\xc3\xa9t\n");
  EXPECT_EQ(buffer.utf8String(), std::nullopt);
}

TEST(GitBuffer, IsValidUTF8) {
  const std::pair<std::string, bool> cases[] = {
      {"", true}, {"plain ascii that is longer than eight bytes", true}, {"\0"s, true}, {"\xc3\xa9", true},
      {"\xf0\x9f\x98\x80", true}, {"\xf4\x8f\xbf\xbf", true}, {"\xc3", false}, {"abcdefgh\xe2\x82", false},
      {"\xc0\xaf", false}, {"\xe0\x80\xaf", false}, {"\xed\xa0\x80", false}, {"\xf4\x90\x80\x80", false},
      {"\x80", false}, {"\xff", false}, {"\xc3\x28", false}};
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(tavrik::isValidUTF8(bytes), valid) << testing::PrintToString(bytes);
}
