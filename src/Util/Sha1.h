// SHA-1, for the ids git gives the bytes of a file. The object-model library
// has one too, but loading it on a queue's worker is what the engine avoids
// (see Repo::initializeLibrary); for ordinary files SHA-1 and git's
// collision-detecting variant give the same digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavrik::detail {

class Sha1 {
public:
  void update(std::string_view bytes);
  /// The digest of everything given; the object is spent after.
  std::array<unsigned char, 20> finish();

private:
  void block(const unsigned char* data);

  uint32_t state_[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  unsigned char buffer_[64] = {};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

} // namespace tavrik::detail
