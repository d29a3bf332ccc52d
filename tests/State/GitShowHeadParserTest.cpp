#include "tavrik/State/GitShowHeadParser.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace std::string_literals;

namespace {

GitHead parse(std::string output, GitHeadFile file = GitHeadFile::head) {
  GitBuffer buffer(std::move(output));
  return GitShowHeadParser::parse(buffer, file, GitShowHeadParser::defaultFormatFields());
}

} // namespace

TEST(GitShowHeadParser, ReadsFieldsAsGitPrintsThem) {
  // Recorded from `git show --no-patch --format=... HEAD` (git 2.39).
  auto head = parse("65c73ff249528b104daf06686cb251e7d1da0387\0HEAD -> main, tag: v1, tag: light\0A U Thor\0"
                    "a@x\0002024-01-02T10:00:00+02:00\0ours\n\nbody line\n\n"s);
  EXPECT_EQ(head.commit, Oid::parse("65c73ff249528b104daf06686cb251e7d1da0387"));
  EXPECT_EQ(head.refname, "main");
  EXPECT_FALSE(head.isSymbolic);
  ASSERT_TRUE(head.lastAuthor);
  EXPECT_EQ(head.lastAuthor->name, "A U Thor");
  EXPECT_EQ(head.lastAuthor->timestamp.offset, 7200);
  EXPECT_EQ(head.lastMessage, "ours\n\nbody line\n"); // git's own terminator is not part of the message

  // Bytes are kept; an empty message is only the terminator.
  auto latin = parse("65c73ff249528b104daf06686cb251e7d1da0387\0HEAD -> a\xE9\0Jos\xE9\0a@x\0002024-01-02T10:00:00+02:00\0\n"s);
  EXPECT_EQ(latin.refname, "a\xE9");
  EXPECT_EQ(latin.lastAuthor->name, "Jos\xE9");
  EXPECT_EQ(latin.lastMessage, "");

  // Without a decoration the head is named after its file and symbolic.
  auto bare = parse("65c73ff249528b104daf06686cb251e7d1da0387"s, GitHeadFile::origHead);
  EXPECT_TRUE(bare.commit);
  EXPECT_EQ(bare.refname, "ORIG_HEAD");
  EXPECT_TRUE(bare.isSymbolic);
  EXPECT_EQ(parse("", GitHeadFile::mergeHead), GitShowHeadParser::emptyHead(GitHeadFile::mergeHead));
}

TEST(GitShowHeadParser, DecorationNamesTheBranch) {
  struct Case {
    const char* decoration;
    const char* refname;
  } cases[] = {
      {"HEAD -> main, origin/main, tag: release", "main"},
      // The branch after the arrow wins even when a tag or remote is shorter.
      {"HEAD -> feature/login, tag: v1", "feature/login"},
      {"HEAD -> feature/login, o/x", "feature/login"},
      {"HEAD -> a->b, tag: v1", "a->b"},
      {"HEAD -> HEADS", "HEADS"},
      // No arrow: the shortest entry, branches preferred over tags (ORIG_HEAD
      // and MERGE_HEAD after a reset or merge onto a tagged commit).
      {"tag: v1, feature", "feature"},
      {"tag: v1, origin/feature", "origin/feature"},
      {"origin/main, tag: a, HEAD", "HEAD"},
      {"HEAD, z", "z"},
      {"tag: v10, tag: v2", "tag: v2"},
      {"", ""},
      {" ,\t", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.decoration);
    EXPECT_EQ(GitShowHeadParser::refnameFromDecoration(c.decoration), c.refname);
  }
}
