// The user's desktop file operations the engine needs: moving a file to the
// trash, as a file manager does (the freedesktop trash, through GIO), so the
// user can restore it from there.
#pragma once

#include "tavrik/Util/Url.h"

namespace tavrik {

class FileManager {
public:
  /// Moves the item at `url` (a symbolic link itself, not its target) to the
  /// trash of its file system. Throws TavrikError naming the file and GIO's
  /// reason when it cannot, for example on a file system without a trash;
  /// the item then stays where it was.
  static void trashItem(const Url& url);
};

} // namespace tavrik
