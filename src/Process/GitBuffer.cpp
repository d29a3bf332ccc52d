#include "tavrik/Process/GitBuffer.h"

#include <algorithm>
#include <cstring>

namespace tavrik {

bool isValidUTF8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0;
  while (i < n) {
    // Fast path over ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t min;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = s[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::string lossyUTF8(std::string_view bytes) {
  if (isValidUTF8(bytes)) return std::string(bytes);
  std::string result;
  result.reserve(bytes.size() + 8);
  size_t i = 0;
  while (i < bytes.size()) {
    auto c = static_cast<unsigned char>(bytes[i]);
    size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len && i + len <= bytes.size() && isValidUTF8(bytes.substr(i, len))) {
      result.append(bytes.substr(i, len));
      i += len;
    } else {
      result += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return result;
}

std::optional<std::string> GitBuffer::utf8String() const {
  if (!isValidUTF8(data_)) return std::nullopt;
  return data_;
}

void GitBuffer::advance(size_t count) {
  offset_ = count > data_.size() - std::min(offset_, data_.size()) ? data_.size() : offset_ + count;
}

std::string GitBuffer::takeRemaining() {
  std::string taken = offset_ == 0 ? std::move(data_) : data_.substr(std::min(offset_, data_.size()));
  clear();
  return taken;
}

void GitBuffer::clear() {
  data_.clear();
  offset_ = 0;
  isFinalized_ = false;
}

std::optional<uint8_t> GitBuffer::scanByte() {
  if (atEnd()) return std::nullopt;
  return static_cast<uint8_t>(data_[offset_++]);
}

namespace {

// The first of two bytes. Searching the whole rest for one byte and then the
// other would rescan the tail on every call (quadratic over a long run of CR
// progress lines with one LF at the end), so both are searched in a window
// that doubles while neither turns up: the work stays proportional to the
// bytes consumed.
const char* findFirstOfTwo(const char* p, size_t n, char a, char b) {
  size_t window = 64;
  while (n > 0) {
    size_t w = std::min(window, n);
    const char* x = static_cast<const char*>(std::memchr(p, a, w));
    const char* y = static_cast<const char*>(std::memchr(p, b, x ? static_cast<size_t>(x - p) : w));
    if (y) return y;
    if (x) return x;
    p += w;
    n -= w;
    window = std::min<size_t>(window * 2, 1 << 16);
  }
  return nullptr;
}

} // namespace

std::optional<std::string_view> GitBuffer::scanToAny(const ByteSet& delimiters) {
  if (atEnd()) return std::nullopt;
  const char* begin = data_.data() + offset_;
  size_t length = data_.size() - offset_;
  const char* found = nullptr;
  // memchr is much faster than a byte loop for the common small sets.
  switch (delimiters.count()) {
  case 0:
    break;
  case 1:
    found = static_cast<const char*>(std::memchr(begin, delimiters.first(), length));
    break;
  case 2: {
    int a = delimiters.first();
    found = findFirstOfTwo(begin, length, static_cast<char>(a), static_cast<char>(delimiters.next(a)));
    break;
  }
  default:
    for (size_t i = 0; i < length; ++i) {
      if (delimiters.contains(static_cast<uint8_t>(begin[i]))) {
        found = begin + i;
        break;
      }
    }
  }
  if (!found) {
    offset_ = data_.size();
    return std::string_view(begin, length);
  }
  size_t n = static_cast<size_t>(found - begin);
  offset_ += n + 1;
  return std::string_view(begin, n);
}

std::optional<std::string> GitBuffer::scanStringToAny(const ByteSet& delimiters) {
  auto bytes = scanToAny(delimiters);
  if (!bytes || !isValidUTF8(*bytes)) return std::nullopt;
  return std::string(*bytes);
}

} // namespace tavrik
