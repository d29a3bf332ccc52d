#include "tavrik/Diff/GitBlobCache.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"

#include <stb_image_write.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

void appendBytes(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
}

std::string encoded(bool png, int width, int height) {
  std::vector<unsigned char> pixels(size_t(width) * size_t(height) * 3, 0x80);
  std::string bytes;
  if (png) stbi_write_png_to_func(appendBytes, &bytes, width, height, 3, pixels.data(), width * 3);
  else stbi_write_jpg_to_func(appendBytes, &bytes, width, height, 3, pixels.data(), 90);
  return bytes;
}

size_t catFileRuns(const LogCapture& log) {
  size_t runs = 0;
  for (const auto& message : log.messages()) runs += message.starts_with("git --no-pager cat-file blob");
  return runs;
}

} // namespace

// Pictures in a commit decode to their sizes; a cached blob is read by git once.
TEST(GitBlobCache, ReadsBlobsOnceAndDecodesImages) {
  ScratchRepo repo;
  repo.write("photo.PNG", encoded(true, 3, 2));
  repo.write("photo.jpg", encoded(false, 4, 5));
  repo.write("notes.txt", "not a picture\n");
  repo.git({"add", "."});
  repo.git({"commit", "-q", "-m", "pictures"});
  auto queue = readerQueue(repo);
  GitOperationContext context(queue);
  GitBlobCache cache;
  LogCapture log(true);

  auto png = cache.loadBlob(*Oid::parse(repo.rev("HEAD:photo.PNG")), context);
  ASSERT_TRUE(png->image());
  EXPECT_EQ(std::pair(png->image()->width, png->image()->height), std::pair(3, 2));
  EXPECT_EQ(png->image()->rgba[3], 0xff) << "opaque alpha added";
  auto jpeg = cache.loadBlob(*Oid::parse(repo.rev("HEAD:photo.jpg")), context);
  ASSERT_TRUE(jpeg->image());
  EXPECT_EQ(std::pair(jpeg->image()->width, jpeg->image()->height), std::pair(4, 5));
  auto text = cache.loadBlob(*Oid::parse(repo.rev("HEAD:notes.txt")), context);
  EXPECT_EQ(text->data(), "not a picture\n");
  EXPECT_EQ(text->image(), nullptr);
  EXPECT_EQ(catFileRuns(log), 3u);

  EXPECT_EQ(cache.loadBlob(*Oid::parse(repo.rev("HEAD:photo.PNG")), context), png);
  EXPECT_EQ(catFileRuns(log), 3u) << "served from the cache";

  EXPECT_THROW(cache.loadBlob(*Oid::parse(std::string(40, 'e')), context), GitStdError);
  EXPECT_EQ(cache.count(), 3u) << "a failed read stores nothing";

  // The byte budget drops the least recently used blob, the JPEG.
  cache.setByteBudget(png->count() + text->count());
  EXPECT_EQ(std::pair(cache.count(), cache.totalBytes()), std::pair(size_t(2), png->count() + text->count()));
  const size_t runs = catFileRuns(log);
  cache.loadBlob(*Oid::parse(repo.rev("HEAD:photo.jpg")), context);
  EXPECT_EQ(catFileRuns(log), runs + 1);
}

TEST(GitBlob, BytesThatAreNoImageGiveNone) {
  const std::string cases[] = {"", "\x89PNG\r\n\x1a\n", encoded(true, 2, 2).substr(0, 40), "GIF89a", std::string(100, '\0')};
  for (const auto& bytes : cases) EXPECT_EQ(GitBlob(Oid::zero, bytes).image(), nullptr) << bytes.size();
}
