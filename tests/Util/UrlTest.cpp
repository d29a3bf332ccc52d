#include "tavrik/Util/Url.h"

#include <gtest/gtest.h>
#include <unistd.h>

using tavrik::Url;

TEST(Url, FileURLNormalisesAbsolutePaths) {
  struct Case {
    const char* in;
    const char* path;
    bool dir;
  } cases[] = {
      {"/", "/", true},          {"/a/b", "/a/b", false},     {"/a/b/", "/a/b", true},
      {"//a///b", "/a/b", false}, {"/a/./b/../c", "/a/c", false}, {"/../..", "/", true},
      {"/a b/ü", "/a b/ü", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto u = Url::fileURL(c.in);
    EXPECT_TRUE(u.isFileURL());
    EXPECT_EQ(u.path(), c.path);
    EXPECT_EQ(u.hasDirectoryPath(), c.dir);
  }
}

TEST(Url, RelativePathsResolveAgainstTheCurrentDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(Url::fileURL("x/y").path(), tavrik::normalizedAbsolutePath(std::string(cwd) + "/x/y"));
  EXPECT_EQ(Url::fileURL("").path(), tavrik::normalizedAbsolutePath(cwd));
}

TEST(Url, ParsesFileAndOtherSchemes) {
  auto file = Url::parse("file:///tmp/a%20b/");
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->isFileURL());
  EXPECT_EQ(file->path(), "/tmp/a b");
  EXPECT_TRUE(file->hasDirectoryPath());
  EXPECT_EQ(file->absoluteString(), "file:///tmp/a b/");

  auto https = Url::parse("HTTPS://example.com/repo.git");
  ASSERT_TRUE(https);
  EXPECT_FALSE(https->isFileURL());
  EXPECT_EQ(https->scheme(), "https");
  EXPECT_EQ(https->absoluteString(), "https://example.com/repo.git");

  // A remote host or a relative path does not name a local file.
  EXPECT_FALSE(Url::parse("file://server/share"));
  EXPECT_FALSE(Url::parse("file:relative"));
  for (const char* bad : {"", ":", "/no/scheme", "1abc:x", "a b:c"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(Url::parse(bad));
  }
}

TEST(Url, ComponentsAndAppending) {
  auto base = Url::fileURL("/prefix", true);
  auto git = base.appendingPathComponent("bin/git");
  EXPECT_EQ(git.path(), "/prefix/bin/git");
  EXPECT_FALSE(git.hasDirectoryPath());
  EXPECT_EQ(git.lastPathComponent(), "git");
  EXPECT_EQ(base.appendingPathComponent("bin", true).absoluteString(), "file:///prefix/bin/");
  EXPECT_EQ(Url::fileURL("/a/b.tar.gz").pathExtension(), "gz");
  EXPECT_EQ(Url::fileURL("/a/.hidden").pathExtension(), "");
  EXPECT_EQ(Url::fileURL("/a/b").deletingLastPathComponent().path(), "/a");
  EXPECT_EQ(Url::fileURL("/").lastPathComponent(), "/");
  EXPECT_EQ(Url::fileURL("/").deletingLastPathComponent().path(), "/");
}
