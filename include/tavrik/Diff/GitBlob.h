// File contents stored in git, as the diff view needs them: the bytes of a
// blob and, for image files, the picture decoded from them (with stb_image,
// on first use). Blobs are immutable and shared.
#pragma once

#include "tavrik/Interfaces/Oid.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavrik {

/// A decoded picture: 8-bit RGBA pixels, row by row from the top.
struct GitImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  bool operator==(const GitImage&) const = default;
};

class GitBlob {
public:
  GitBlob(Oid oid, std::string data) : oid_(oid), data_(std::move(data)) {}
  GitBlob(const GitBlob&) = delete;
  GitBlob& operator=(const GitBlob&) = delete;

  /// The blob with the zero id and no bytes.
  static const std::shared_ptr<const GitBlob>& zero();

  const Oid& oid() const { return oid_; }
  const std::string& data() const { return data_; }
  size_t count() const { return data_.size(); }

  /// The picture in `data`, decoded once on first use by any thread; null
  /// when the bytes are no image stb_image can read (or one too large to
  /// decode safely).
  const GitImage* image() const;

  /// Pictures with more pixels than this are not decoded.
  static constexpr int64_t kMaxImagePixels = int64_t(1) << 28;

private:
  const Oid oid_;
  const std::string data_;
  mutable std::once_flag decodeOnce_;
  mutable std::unique_ptr<GitImage> image_; // written once under decodeOnce_
};

} // namespace tavrik
