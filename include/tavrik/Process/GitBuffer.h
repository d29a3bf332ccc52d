// A growing byte buffer with a read offset, through which every parser reads
// git's output. One producer appends (the drain of one pipe); one consumer
// scans after the producer is done. It has no lock of its own.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// A set of delimiter bytes for the scans.
class GitByteSet {
public:
  constexpr GitByteSet() = default;
  constexpr GitByteSet(std::initializer_list<uint8_t> bytes) {
    for (auto b : bytes) add(b);
  }
  constexpr void add(uint8_t b) { bits_[b >> 6] |= uint64_t{1} << (b & 63); }
  constexpr bool contains(uint8_t b) const { return bits_[b >> 6] >> (b & 63) & 1; }
  constexpr int count() const {
    int n = 0;
    for (auto w : bits_) n += std::popcount(w);
    return n;
  }
  /// The smallest byte in the set, or -1 when the set is empty.
  constexpr int first() const {
    for (int i = 0; i < 4; ++i)
      if (bits_[i]) return i * 64 + std::countr_zero(bits_[i]);
    return -1;
  }
  /// The byte after `b` in the set, or -1 when there is none.
  constexpr int next(int b) const {
    for (int c = b + 1; c < 256; ++c)
      if (contains(static_cast<uint8_t>(c))) return c;
    return -1;
  }

private:
  uint64_t bits_[4] = {0, 0, 0, 0};
};

class GitBuffer {
public:
  using ByteSet = GitByteSet;

  GitBuffer() = default;
  explicit GitBuffer(std::string data) : data_(std::move(data)) {}
  explicit GitBuffer(std::string_view data) : data_(data) {}
  explicit GitBuffer(const char* data) : data_(data) {}

  /// The bytes received so far (all of them, not only the unread part).
  const std::string& data() const { return data_; }
  bool isFinalized() const { return isFinalized_; }
  /// The read position, an index into data().
  size_t offsetIndex() const { return offset_; }
  /// Same as offsetIndex(): our storage always starts at index 0.
  size_t offset() const { return offset_; }
  bool atEnd() const { return offset_ >= data_.size(); }
  /// The unread bytes.
  std::string_view remaining() const { return std::string_view(data_).substr(std::min(offset_, data_.size())); }
  /// The whole data decoded as UTF-8; nullopt when it is not valid UTF-8.
  std::optional<std::string> utf8String() const;

  /// Moves the read position; clamped to the end of the data.
  void advance(size_t count);
  /// Moves the unread bytes out (without copying when nothing was read) and
  /// empties the buffer as `clear()` does.
  std::string takeRemaining();
  /// Empties the data, resets the offset and clears the finalized flag.
  void clear();
  void resetOffset() { offset_ = 0; }
  void append(std::string_view bytes) { data_.append(bytes); }
  void finalize() { isFinalized_ = true; }
  /// The producer's single entry point: bytes are appended; nullopt finalizes.
  void fill(std::optional<std::string_view> chunk) {
    if (chunk) append(*chunk); else finalize();
  }

  /// True when not at end and the byte at the read position is `byte`.
  bool peek(uint8_t byte) const { return !atEnd() && static_cast<uint8_t>(data_[offset_]) == byte; }
  /// The byte at the read position, advancing by one; nullopt at end.
  std::optional<uint8_t> scanByte();

  /// The bytes up to (not including) the first delimiter from the read
  /// position; the delimiter is consumed. Without a delimiter, the rest of the
  /// data (even when not finalized). nullopt, with nothing moved, at the end.
  /// Each byte of the set is a delimiter by itself: with {CR, LF} the bytes
  /// "a\r\nb" scan as "a", "", "b". The view points into data() and stays
  /// valid until the next mutation. Linear in the bytes consumed.
  std::optional<std::string_view> scanToAny(const ByteSet& delimiters);
  std::optional<std::string_view> scanToNull() { return scanToAny(kNull); }
  std::optional<std::string_view> scanToTab() { return scanToAny(kTab); }
  std::optional<std::string_view> scanToEOL() { return scanToAny(kEOL); }

  /// scanToAny, then decoded as UTF-8: nullopt when the scan gave nothing or
  /// the bytes are not valid UTF-8 (the offset has moved in both cases).
  std::optional<std::string> scanStringToAny(const ByteSet& delimiters);
  std::optional<std::string> scanStringToLF() { return scanStringToAny(kLF); }
  std::optional<std::string> scanStringToSpace() { return scanStringToAny(kSpace); }
  std::optional<std::string> scanStringToNull() { return scanStringToAny(kNull); }
  std::optional<std::string> scanStringToEOL() { return scanStringToAny(kEOL); }

  static constexpr ByteSet kNull{0x00};
  static constexpr ByteSet kTab{0x09};
  static constexpr ByteSet kLF{0x0A};
  static constexpr ByteSet kSpace{0x20};
  static constexpr ByteSet kEOL{0x0D, 0x0A};

private:
  std::string data_;
  size_t offset_ = 0;
  bool isFinalized_ = false;
};

/// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or code
/// points above U+10FFFF).
bool isValidUTF8(std::string_view bytes);

/// `bytes` with every byte that starts no well-formed sequence replaced by
/// U+FFFD; valid text is returned unchanged.
std::string lossyUTF8(std::string_view bytes);

} // namespace tavrik
