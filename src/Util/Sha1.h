// SHA-1, for the ids git gives the bytes of a file, from GLib's checksums.
// The object-model library has one too, but loading it on a queue's worker
// is what the engine avoids (see Repo::initializeLibrary). GLib is opened on
// first use, as for its character table; for ordinary files SHA-1 and git's
// collision-detecting variant give the same digest.
#pragma once

#include <array>
#include <string_view>

namespace tavrik::detail {

class Sha1 {
public:
  /// Throws TavrikError when GLib cannot be opened.
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  void update(std::string_view bytes);
  /// The digest of everything given; the object is spent after.
  std::array<unsigned char, 20> finish();

private:
  void* checksum_;
};

} // namespace tavrik::detail
