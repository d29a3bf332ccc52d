// Parses arbitrary bytes as URLs and paths and exercises every accessor.
#include "tavrik/Util/Url.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto url = tavrik::Url::parse(text)) {
    (void)url->absoluteString();
    (void)url->lastPathComponent();
    (void)url->pathExtension();
    (void)url->deletingLastPathComponent();
    (void)url->appendingPathComponent(text);
  }
  std::string absolute = "/" + std::string(text);
  auto file = tavrik::Url::fileURL(absolute);
  if (file.path().empty() || file.path().front() != '/') __builtin_trap();
  (void)file.appendingPathComponent(text).lastPathComponent();
  (void)file.deletingLastPathComponent().absoluteString();
  return 0;
}
