#include "tavrik/State/GitRefParser.h"

#include <gtest/gtest.h>

#include <map>

using namespace tavrik;
using namespace std::string_literals;

namespace {

Oid oid(std::string_view hex) { return *Oid::parse(hex); }

std::vector<GitRef> parse(std::string output) {
  GitBuffer buffer(std::move(output));
  return GitRefParser::parse(buffer, GitRefParser::defaultFieldNames());
}

// Recorded from `git for-each-ref` with the reader's format (git 2.39): a
// branch, the checked-out branch with an upstream, a lightweight and an
// annotated tag, and the symbolic origin/HEAD.
const std::string kRecorded =
    " \ta3b63b29198b2482a32244704e87756d66ae2e9b\t\trefs/heads/feature/x\t\t\t\t\t2024-01-02T10:00:00+02:00\n"
    "*\t65c73ff249528b104daf06686cb251e7d1da0387\t\trefs/heads/main\t\trefs/remotes/origin/main\torigin\t"
    "refs/heads/main\t2024-01-02T10:00:00+02:00\n"
    " \t65c73ff249528b104daf06686cb251e7d1da0387\t\trefs/remotes/origin/HEAD\trefs/remotes/origin/main\t\t\t\t"
    "2024-01-02T10:00:00+02:00\n"
    " \t65c73ff249528b104daf06686cb251e7d1da0387\t\trefs/tags/light\t\t\t\t\t2024-01-02T10:00:00+02:00\n"
    " \t9e110af578f1c9d58a66f46e8cfd90ae65b386bf\t65c73ff249528b104daf06686cb251e7d1da0387\trefs/tags/v1\t\t\t\t\t"
    "2024-01-02T10:00:00-05:00\n";

} // namespace

TEST(GitRefParser, FormatArgumentJoinsFieldsWithTabs) {
  EXPECT_EQ(GitRefParser::formatArgument(GitRefParser::defaultFieldNames()),
            "--format=%(HEAD)\t%(objectname)\t%(*objectname)\t%(refname)\t%(symref)\t%(upstream)\t"
            "%(upstream:remotename)\t%(upstream:remoteref)\t%(creatordate:iso8601-strict)");
}

TEST(GitRefParser, ReadsRecordedOutput) {
  auto refs = parse(kRecorded);
  ASSERT_EQ(refs.size(), 5u);

  EXPECT_EQ(refs[0].name, "refs/heads/feature/x");
  EXPECT_FALSE(refs[0].isHead);
  EXPECT_EQ(refs[0].type, GitRefType::branch);
  EXPECT_EQ(refs[0].shorthand, "feature/x");
  EXPECT_EQ(refs[0].pathPrefix, std::vector<std::string>{"feature"});
  EXPECT_EQ(refs[0].target, refs[0].commit);
  EXPECT_FALSE(refs[0].upstreamName);

  EXPECT_TRUE(refs[1].isHead);
  EXPECT_EQ(refs[1].upstreamName, "refs/remotes/origin/main");
  EXPECT_EQ(refs[1].upstreamRemote, "origin");
  EXPECT_EQ(refs[1].creatorDate->offset, 7200);

  EXPECT_EQ(refs[2].symbolicTarget, "refs/remotes/origin/main");
  EXPECT_EQ(refs[2].type, GitRefType::remote);

  EXPECT_EQ(refs[3].type, GitRefType::tag);
  EXPECT_EQ(refs[3].commit, oid("65c73ff249528b104daf06686cb251e7d1da0387"));

  EXPECT_EQ(refs[4].target, oid("9e110af578f1c9d58a66f46e8cfd90ae65b386bf"));
  EXPECT_EQ(refs[4].commit, oid("65c73ff249528b104daf06686cb251e7d1da0387"));
  EXPECT_EQ(refs[4].creatorDate->offset, -18000);
}

TEST(GitRefParser, SkipsMalformedLines) {
  const std::string id = "65c73ff249528b104daf06686cb251e7d1da0387";
  const std::string good = " \t" + id + "\t\trefs/heads/good\t\t\t\t\t2024-01-02T10:00:00+02:00";
  struct Case {
    const char* name;
    std::string line;
  } cases[] = {
      {"one field too many", good + "\textra"},
      {"one field too few", good.substr(0, good.rfind('\t'))},
      {"date without zone", " \t" + id + "\t\trefs/heads/bad\t\t\t\t\t2024-01-02T10:00:00"},
      {"missing objectname", " \t\t\trefs/heads/bad\t\t\t\t\t2024-01-02T10:00:00+02:00"},
      {"bad objectname", " \tzz\t\trefs/heads/bad\t\t\t\t\t2024-01-02T10:00:00+02:00"},
      {"bad peeled id", " \t" + id + "\t12\trefs/heads/bad\t\t\t\t\t2024-01-02T10:00:00+02:00"},
      {"empty line", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(GitRefParser::parseLine(c.line, GitRefParser::defaultFieldNames()));
    auto refs = parse(c.line + "\n" + good + "\n");
    ASSERT_EQ(refs.size(), 1u);
    EXPECT_EQ(refs[0].name, "refs/heads/good");
  }
}

// Other field lists work too: unknown names are ignored, and a name given
// twice takes its last value, as the field dictionary would.
TEST(GitRefParser, ReadsOtherFieldLists) {
  const std::string id = "65c73ff249528b104daf06686cb251e7d1da0387";
  const std::vector<std::string> fields{"refname", "color", "HEAD", "objectname", "refname",
                                        "creatordate:iso8601-strict"};
  auto ref = GitRefParser::parseLine("refs/heads/first\tred\t*\t" + id + "\trefs/heads/second\t2024-01-02T10:00:00+02:00",
                                     fields);
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref->name, "refs/heads/second");
  EXPECT_TRUE(ref->isHead);
  std::map<std::string, std::string> dictionary{{"refname", "refs/heads/second"},
                                                {"color", "red"},
                                                {"HEAD", "*"},
                                                {"objectname", id},
                                                {"creatordate:iso8601-strict", "2024-01-02T10:00:00+02:00"}};
  EXPECT_EQ(GitRef::fromFields(dictionary), ref);
  // A field the reader does not know is ignored: here the date's.
  auto unknownDate = GitRefParser::parseLine("refs/heads/x\t*\t" + id + "\t2024-01-02T10:00:00+02:00",
                                             {"refname", "HEAD", "objectname", "creatordate"});
  ASSERT_TRUE(unknownDate);
  EXPECT_FALSE(unknownDate->creatorDate);
}

TEST(GitRefParser, LineEndsAtCarriageReturnOrLineFeed) {
  auto refs = parse(kRecorded.substr(0, kRecorded.find('\n')) + "\r\n" + kRecorded.substr(kRecorded.find('\n') + 1));
  EXPECT_EQ(refs.size(), 5u);
}

// Ref names are bytes: a Latin-1 name is kept as it is and reading goes on.
TEST(GitRefParser, KeepsNamesThatAreNotUTF8) {
  std::string lines = kRecorded;
  size_t second = lines.find('\n') + 1;
  lines.insert(second, " \ta3b63b29198b2482a32244704e87756d66ae2e9b\t\trefs/heads/a\xE9\t\t\t\t\t2024-01-02T10:00:00+02:00\n");
  auto refs = parse(lines);
  ASSERT_EQ(refs.size(), 6u);
  EXPECT_EQ(refs[1].name, "refs/heads/a\xE9");
  EXPECT_EQ(refs[1].shorthand, "a\xE9");
  EXPECT_EQ(refs[5].name, "refs/tags/v1");
}
