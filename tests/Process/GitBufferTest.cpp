#include "tavrik/Process/GitBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;
using tavrik::GitBuffer;

namespace {

// All fields a scan yields until it returns nullopt.
std::vector<std::string> scanAll(GitBuffer& buffer, const GitBuffer::ByteSet& set) {
  std::vector<std::string> fields;
  while (auto field = buffer.scanToAny(set)) fields.emplace_back(*field);
  return fields;
}

} // namespace

TEST(GitBuffer, ScanToAnyConsumesDelimiterAndReturnsUnterminatedLastField) {
  struct Case {
    std::string data;
    GitBuffer::ByteSet set;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"a\nb", GitBuffer::kLF, {"a", "b"}},
      {"a\nb\n", GitBuffer::kLF, {"a", "b"}},
      {"\n\n", GitBuffer::kLF, {"", ""}},
      {"a\r\nb", GitBuffer::kEOL, {"a", "", "b"}},
      {"a\rb\rc\n", GitBuffer::kEOL, {"a", "b", "c"}},
      {"x\n\ry", GitBuffer::kEOL, {"x", "", "y"}},
      {"1 M. N...\0002 R.\0"s, GitBuffer::kNull, {"1 M. N...", "2 R."}},
      {"\0\0x"s, GitBuffer::kNull, {"", "", "x"}},
      {"k\tv\tw", GitBuffer::kTab, {"k", "v", "w"}},
      {"a b  c", GitBuffer::kSpace, {"a", "b", "", "c"}},
      {"no delimiter", GitBuffer::kNull, {"no delimiter"}},
      {"a,b;c.d", GitBuffer::ByteSet{',', ';', '.'}, {"a", "b", "c", "d"}},
      {"a;b", GitBuffer::ByteSet{}, {"a;b"}},
      {"k=v&x&=y", GitBuffer::ByteSet{'=', '&'}, {"k", "v", "x", "", "y"}},
      {"\xff\x01\xff", GitBuffer::ByteSet{0xFF}, {"", "\x01"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    GitBuffer buffer(c.data);
    EXPECT_EQ(scanAll(buffer, c.set), c.fields);
    EXPECT_TRUE(buffer.atEnd());
    EXPECT_EQ(buffer.offsetIndex(), c.data.size());
  }
}

TEST(GitBuffer, ScanAtEndReturnsNulloptWithoutMoving) {
  GitBuffer empty;
  EXPECT_EQ(empty.scanToTab(), std::nullopt);
  EXPECT_EQ(empty.offsetIndex(), 0u);

  GitBuffer one("x");
  EXPECT_EQ(one.scanToTab(), "x");
  EXPECT_TRUE(one.atEnd());
  EXPECT_EQ(one.offsetIndex(), 1u);
  EXPECT_EQ(one.scanToTab(), std::nullopt);
  EXPECT_EQ(one.scanStringToLF(), std::nullopt);
  EXPECT_EQ(one.scanByte(), std::nullopt);
  EXPECT_EQ(one.offsetIndex(), 1u);
}

TEST(GitBuffer, ScanStringToLF) {
  GitBuffer buffer("a\nb");
  EXPECT_EQ(buffer.scanStringToLF(), "a");
  EXPECT_EQ(buffer.scanStringToLF(), "b");
  EXPECT_EQ(buffer.scanStringToLF(), std::nullopt);
}

TEST(GitBuffer, ScanStringRejectsInvalidUTF8ButStillMoves) {
  GitBuffer buffer("ok\0\xc3\x28\0\xc3\xa9t\xc3\xa9"s);
  EXPECT_EQ(buffer.scanStringToNull(), "ok");
  EXPECT_EQ(buffer.scanStringToNull(), std::nullopt);
  EXPECT_EQ(buffer.offsetIndex(), 6u);
  EXPECT_EQ(buffer.scanStringToNull(), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(buffer.scanStringToNull(), std::nullopt);
}

TEST(GitBuffer, ScanStringVariantsUseTheirDelimiters) {
  GitBuffer buffer("one two\r\nthree\0four\nfive"s);
  EXPECT_EQ(buffer.scanStringToSpace(), "one");
  EXPECT_EQ(buffer.scanStringToEOL(), "two");
  EXPECT_EQ(buffer.scanStringToEOL(), "");
  EXPECT_EQ(buffer.scanStringToNull(), "three");
  EXPECT_EQ(buffer.scanStringToLF(), "four");
  EXPECT_EQ(buffer.scanStringToEOL(), "five");
}

TEST(GitBuffer, EndOfLineScanStaysLinearOverLongCarriageReturnRuns) {
  // git's progress lines end in CR with a single LF at the very end.
  std::string data;
  for (int i = 0; i < 200000; ++i) data += "Receiving objects: 12%\r";
  data += "done\n";
  GitBuffer buffer(data);
  size_t lines = 0;
  while (buffer.scanToEOL()) ++lines;
  EXPECT_EQ(lines, 200001u);
}

TEST(GitBuffer, PeekAndScanByte) {
  GitBuffer buffer("#x");
  EXPECT_TRUE(buffer.peek('#'));
  EXPECT_FALSE(buffer.peek('x'));
  EXPECT_EQ(buffer.offsetIndex(), 0u);
  EXPECT_EQ(buffer.scanByte(), '#');
  EXPECT_TRUE(buffer.peek('x'));
  EXPECT_EQ(buffer.scanByte(), 'x');
  EXPECT_FALSE(buffer.peek('x'));
  EXPECT_TRUE(buffer.atEnd());
}

TEST(GitBuffer, Utf8StringCoversAllDataAfterScanning) {
  GitBuffer buffer("first\nsecond \xe2\x9c\x93");
  ASSERT_EQ(buffer.scanStringToLF(), "first");
  EXPECT_EQ(buffer.utf8String(), "first\nsecond \xe2\x9c\x93");
  EXPECT_EQ(GitBuffer("bad \xff").utf8String(), std::nullopt);
  EXPECT_EQ(GitBuffer().utf8String(), "");
}

TEST(GitBuffer, AdvanceResetAndClear) {
  GitBuffer buffer("abcdef");
  buffer.advance(2);
  EXPECT_EQ(buffer.offset(), 2u);
  EXPECT_EQ(buffer.remaining(), "cdef");
  buffer.advance(100);
  EXPECT_TRUE(buffer.atEnd());
  EXPECT_EQ(buffer.offsetIndex(), 6u);
  buffer.resetOffset();
  EXPECT_EQ(buffer.scanToAny({'c'}), "ab");

  buffer.finalize();
  buffer.clear();
  EXPECT_FALSE(buffer.isFinalized());
  EXPECT_EQ(buffer.data(), "");
  EXPECT_EQ(buffer.offsetIndex(), 0u);
  EXPECT_TRUE(buffer.atEnd());
}

TEST(GitBuffer, FillAppendsWithoutMovingAndNulloptFinalizes) {
  GitBuffer buffer;
  buffer.fill("a\nb");
  EXPECT_EQ(buffer.scanStringToLF(), "a");
  // The last field is returned even before the producer has finished.
  EXPECT_EQ(buffer.scanStringToLF(), "b");
  EXPECT_FALSE(buffer.isFinalized());
  buffer.fill("c\n");
  EXPECT_EQ(buffer.offsetIndex(), 3u);
  EXPECT_EQ(buffer.scanStringToLF(), "c");
  buffer.fill(std::nullopt);
  EXPECT_TRUE(buffer.isFinalized());
  EXPECT_EQ(buffer.data(), "a\nbc\n");
}

TEST(GitBuffer, IsValidUTF8) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii that is longer than eight bytes", true},
      {"\0"s, true},
      {"\xc3\xa9", true},                 // é
      {"\xe2\x82\xac", true},             // €
      {"\xf0\x9f\x98\x80", true},         // U+1F600
      {"\xf4\x8f\xbf\xbf", true},         // U+10FFFF
      {"\xc3", false},                    // truncated
      {"abcdefgh\xe2\x82", false},        // truncated after the ASCII fast path
      {"\xc0\xaf", false},                // overlong '/'
      {"\xe0\x80\xaf", false},            // overlong
      {"\xed\xa0\x80", false},            // surrogate U+D800
      {"\xf4\x90\x80\x80", false},        // above U+10FFFF
      {"\x80", false},                    // lone continuation
      {"\xff", false},
      {"\xc3\x28", false},                // bad continuation
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(tavrik::isValidUTF8(c.bytes), c.valid);
  }
}
