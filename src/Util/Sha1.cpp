#include "Util/Sha1.h"

#include "tavrik/Util/TavrikError.h"

#include <dlfcn.h>
#include <glib.h>

#include <optional>

namespace tavrik::detail {

namespace {

struct Checksums {
  decltype(&::g_checksum_new) create = nullptr;
  decltype(&::g_checksum_update) update = nullptr;
  decltype(&::g_checksum_get_digest) digest = nullptr;
  decltype(&::g_checksum_free) free = nullptr;
};

// Opened on first use rather than linked, which would load GLib (and its
// constructors) in every process at start-up.
const Checksums* checksums() {
  static const auto functions = []() -> std::optional<Checksums> {
    void* handle = dlopen(TAVRIK_GLIB_SONAME, RTLD_LAZY | RTLD_LOCAL);
    if (!handle) return std::nullopt;
    Checksums found{reinterpret_cast<decltype(&::g_checksum_new)>(dlsym(handle, "g_checksum_new")),
                    reinterpret_cast<decltype(&::g_checksum_update)>(dlsym(handle, "g_checksum_update")),
                    reinterpret_cast<decltype(&::g_checksum_get_digest)>(dlsym(handle, "g_checksum_get_digest")),
                    reinterpret_cast<decltype(&::g_checksum_free)>(dlsym(handle, "g_checksum_free"))};
    if (!found.create || !found.update || !found.digest || !found.free) return std::nullopt;
    return found;
  }();
  return functions ? &*functions : nullptr;
}

} // namespace

Sha1::Sha1() {
  const auto* functions = checksums();
  if (!functions) throw TavrikError("GLib's checksums are not available", TAVRIK_GLIB_SONAME);
  checksum_ = functions->create(G_CHECKSUM_SHA1);
}

Sha1::~Sha1() { checksums()->free(static_cast<GChecksum*>(checksum_)); }

void Sha1::update(std::string_view bytes) {
  checksums()->update(static_cast<GChecksum*>(checksum_), reinterpret_cast<const guchar*>(bytes.data()),
                      static_cast<gssize>(bytes.size()));
}

std::array<unsigned char, 20> Sha1::finish() {
  std::array<unsigned char, 20> digest{};
  gsize length = digest.size();
  checksums()->digest(static_cast<GChecksum*>(checksum_), digest.data(), &length);
  return digest;
}

} // namespace tavrik::detail
