#include "tavrik/Interfaces/FileManager.h"

#include "tavrik/Util/TavrikError.h"

#include <gio/gio.h>

#include <memory>

namespace tavrik {

void FileManager::trashItem(const Url& url) {
  const std::string path = url.path();
  std::unique_ptr<GFile, decltype(&g_object_unref)> file(g_file_new_for_path(path.c_str()), &g_object_unref);
  GError* error = nullptr;
  if (g_file_trash(file.get(), nullptr, &error)) return;
  std::string reason = error && error->message ? error->message : "unknown error";
  if (error) g_error_free(error);
  throw TavrikError("Could not move \"" + path + "\" to the trash.", reason);
}

} // namespace tavrik
