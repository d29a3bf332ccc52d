#include "tavrik/Diff/GitBlob.h"

#include <stb_image.h>

#include <climits>
#include <cstring>

namespace tavrik {

const std::shared_ptr<const GitBlob>& GitBlob::zero() {
  static const auto* blob = new std::shared_ptr<const GitBlob>(std::make_shared<GitBlob>(Oid::zero, std::string()));
  return *blob;
}

const GitImage* GitBlob::image() const {
  std::call_once(decodeOnce_, [this] {
    if (data_.empty() || data_.size() > static_cast<size_t>(INT_MAX)) return;
    const auto* bytes = reinterpret_cast<const stbi_uc*>(data_.data());
    const int length = static_cast<int>(data_.size());
    int width = 0, height = 0, channels = 0;
    // The header alone first: a forged size must not make the decoder
    // allocate gigabytes.
    if (!stbi_info_from_memory(bytes, length, &width, &height, &channels)) return;
    if (width <= 0 || height <= 0 || int64_t(width) * height > kMaxImagePixels) return;
    stbi_uc* pixels = stbi_load_from_memory(bytes, length, &width, &height, &channels, 4);
    if (!pixels) return;
    auto image = std::make_unique<GitImage>();
    image->width = width;
    image->height = height;
    image->rgba.assign(pixels, pixels + size_t(width) * size_t(height) * 4);
    stbi_image_free(pixels);
    image_ = std::move(image);
  });
  return image_.get();
}

} // namespace tavrik
