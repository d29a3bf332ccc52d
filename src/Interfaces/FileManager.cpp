#include "tavrik/Interfaces/FileManager.h"

#include "tavrik/Util/TavrikError.h"

#include <gio/gio.h>

#include <dlfcn.h>

#include <memory>

#ifndef TAVRIK_GIO_SONAME
#error "TAVRIK_GIO_SONAME names the GIO shared library to open"
#endif

namespace tavrik {

namespace {

// GIO (with GObject, libmount and SELinux behind it) is opened only when an
// item goes to the trash: linked, it would be loaded by every process that
// starts, for a call few of them make.
struct Gio {
  decltype(&::g_file_new_for_path) newForPath = nullptr;
  decltype(&::g_file_trash) trash = nullptr;
  decltype(&::g_object_unref) unref = nullptr;
  decltype(&::g_error_free) errorFree = nullptr;
  std::string failure;
};

const Gio& gio() {
  static const Gio loaded = [] {
    Gio out;
    void* handle = dlopen(TAVRIK_GIO_SONAME, RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
      const char* reason = dlerror();
      out.failure = std::string("cannot load " TAVRIK_GIO_SONAME ": ") + (reason ? reason : "unknown reason");
      return out;
    }
    out.newForPath = reinterpret_cast<decltype(out.newForPath)>(dlsym(handle, "g_file_new_for_path"));
    out.trash = reinterpret_cast<decltype(out.trash)>(dlsym(handle, "g_file_trash"));
    // GObject and GLib are dependencies of GIO: the handle finds theirs too.
    out.unref = reinterpret_cast<decltype(out.unref)>(dlsym(handle, "g_object_unref"));
    out.errorFree = reinterpret_cast<decltype(out.errorFree)>(dlsym(handle, "g_error_free"));
    if (!out.newForPath || !out.trash || !out.unref || !out.errorFree) out.failure = TAVRIK_GIO_SONAME " lacks the file functions";
    return out;
  }();
  return loaded;
}

} // namespace

void FileManager::trashItem(const Url& url) {
  const std::string path = url.path();
  const Gio& library = gio();
  if (!library.failure.empty()) throw TavrikError("Could not move \"" + path + "\" to the trash.", library.failure);
  std::unique_ptr<GFile, decltype(library.unref)> file(library.newForPath(path.c_str()), library.unref);
  GError* error = nullptr;
  if (library.trash(file.get(), nullptr, &error)) return;
  std::string reason = error && error->message ? error->message : "unknown error";
  if (error) library.errorFree(error);
  throw TavrikError("Could not move \"" + path + "\" to the trash.", reason);
}

} // namespace tavrik
