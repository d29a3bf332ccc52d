// Drives every GitBuffer scan over arbitrary bytes. The first bytes choose a
// delimiter set and a sequence of operations; the rest is the buffer's data,
// fed in two parts to exercise scanning before and after more data arrives.
#include "FuzzSupport.h"
#include "tavrik/Process/GitBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using tavrik::GitBuffer;

using tavrik::fuzz::check;

namespace {

// Independent reference for scanToAny, to compare against.
std::optional<std::string_view> referenceScan(std::string_view data, size_t& offset, const GitBuffer::ByteSet& set) {
  if (offset >= data.size()) return std::nullopt;
  size_t i = offset;
  while (i < data.size() && !set.contains(static_cast<uint8_t>(data[i]))) ++i;
  auto field = data.substr(offset, i - offset);
  offset = i < data.size() ? i + 1 : data.size();
  return field;
}

void checkString(const std::optional<std::string>& text, std::optional<std::string_view> expected) {
  check(text.has_value() == (expected && tavrik::isValidUTF8(*expected)));
  if (text) check(*text == *expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 4) return 0;
  // Header: number of delimiters (0-3), the delimiters, a split point.
  size_t setSize = bytes[0] % 4;
  if (size < 2 + setSize) return 0;
  GitBuffer::ByteSet set;
  for (size_t i = 0; i < setSize; ++i) set.add(bytes[1 + i]);
  size_t split = bytes[1 + setSize];
  std::string_view rest(reinterpret_cast<const char*>(bytes) + 2 + setSize, size - 2 - setSize);
  split = rest.empty() ? 0 : split % (rest.size() + 1);

  GitBuffer buffer(rest.substr(0, split));
  bool fedRest = false;
  size_t referenceOffset = 0;
  size_t step = 0;
  while (!buffer.atEnd() || !fedRest) {
    if (buffer.atEnd()) {
      buffer.fill(rest.substr(split));
      buffer.fill(std::nullopt);
      check(buffer.isFinalized());
      fedRest = true;
      continue;
    }
    size_t before = buffer.offsetIndex();
    check(before == referenceOffset);
    uint8_t op = static_cast<uint8_t>(rest[before]) ^ static_cast<uint8_t>(step++);
    switch (op % 12) {
    case 0: {
      auto expected = referenceScan(buffer.data(), referenceOffset, set);
      auto field = buffer.scanToAny(set);
      check(field == expected);
      break;
    }
    case 1:
      check(buffer.scanToNull() == referenceScan(buffer.data(), referenceOffset, GitBuffer::kNull));
      break;
    case 2:
      check(buffer.scanToTab() == referenceScan(buffer.data(), referenceOffset, GitBuffer::kTab));
      break;
    case 3: {
      auto expected = referenceScan(buffer.data(), referenceOffset, GitBuffer::kEOL);
      check(buffer.scanToEOL() == expected);
      break;
    }
    case 4: {
      auto expected = referenceScan(buffer.data(), referenceOffset, set);
      checkString(buffer.scanStringToAny(set), expected);
      break;
    }
    case 5:
      checkString(buffer.scanStringToLF(), referenceScan(buffer.data(), referenceOffset, GitBuffer::kLF));
      break;
    case 6:
      checkString(buffer.scanStringToSpace(), referenceScan(buffer.data(), referenceOffset, GitBuffer::kSpace));
      break;
    case 7:
      checkString(buffer.scanStringToNull(), referenceScan(buffer.data(), referenceOffset, GitBuffer::kNull));
      break;
    case 8:
      checkString(buffer.scanStringToEOL(), referenceScan(buffer.data(), referenceOffset, GitBuffer::kEOL));
      break;
    case 9: {
      uint8_t b = static_cast<uint8_t>(buffer.data()[before]);
      check(buffer.peek(b));
      check(buffer.scanByte() == b);
      ++referenceOffset;
      break;
    }
    case 10: {
      size_t by = 1 + op % 7;
      buffer.advance(by);
      referenceOffset = std::min(referenceOffset + by, buffer.data().size());
      break;
    }
    case 11: {
      auto text = buffer.utf8String();
      check(text.has_value() == tavrik::isValidUTF8(buffer.data()));
      if (text) check(*text == buffer.data());
      check(buffer.offsetIndex() == before);
      // Consume one byte so the loop always progresses.
      buffer.advance(1);
      ++referenceOffset;
      break;
    }
    }
    check(buffer.offsetIndex() == referenceOffset);
    check(buffer.offsetIndex() > before);
    check(buffer.remaining() == std::string_view(buffer.data()).substr(buffer.offsetIndex()));
  }
  check(buffer.scanToAny(set) == std::nullopt);
  check(!buffer.peek(0));
  buffer.clear();
  check(buffer.atEnd() && !buffer.isFinalized() && buffer.data().empty());
  return 0;
}
