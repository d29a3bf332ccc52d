#include "tavrik/State/GitRefParser.h"

#include <gtest/gtest.h>

#include <map>

using namespace tavrik;

namespace {

std::vector<std::string> names(const std::string& output) {
  GitBuffer buffer{std::string(output)};
  std::vector<std::string> out;
  for (const auto& ref : GitRefParser::parse(buffer, GitRefParser::defaultFieldNames())) out.push_back(ref.name);
  return out;
}

const std::string kId = "65c73ff249528b104daf06686cb251e7d1da0387";
const std::string kDate = "2024-01-02T10:00:00+02:00";
std::string line(const std::string& name, const std::string& rest = "\t\t\t\t\t" + kDate) {
  return " \t" + kId + "\t\t" + name + rest;
}

} // namespace

// Recorded from `git for-each-ref` with the reader's format (git 2.39).
TEST(GitRefParser, ReadsRecordedOutput) {
  GitBuffer buffer(
      "*\t65c73ff249528b104daf06686cb251e7d1da0387\t\trefs/heads/main\t\trefs/remotes/origin/main\torigin\t"
      "refs/heads/main\t2024-01-02T10:00:00+02:00\r\n"
      " \t65c73ff249528b104daf06686cb251e7d1da0387\t\trefs/remotes/origin/HEAD\trefs/remotes/origin/main\t\t\t\t"
      "2024-01-02T10:00:00+02:00\n"
      " \t9e110af578f1c9d58a66f46e8cfd90ae65b386bf\t65c73ff249528b104daf06686cb251e7d1da0387\trefs/tags/v1\t\t\t\t\t"
      "2024-01-02T10:00:00-05:00\n"
      " \t1111111111111111111111111111111111111111\t\trefs/tags/blob\t\t\t\t\t\n");
  auto refs = GitRefParser::parse(buffer, GitRefParser::defaultFieldNames());
  ASSERT_EQ(refs.size(), 4u);
  EXPECT_TRUE(refs[0].isHead);
  EXPECT_EQ(refs[0].upstreamName, "refs/remotes/origin/main");
  EXPECT_EQ(refs[0].upstreamRemote, "origin");
  EXPECT_EQ(refs[0].creatorDate->offset, 7200);
  EXPECT_EQ(refs[1].symbolicTarget, "refs/remotes/origin/main");
  EXPECT_EQ(refs[2].target->string(), "9e110af578f1c9d58a66f46e8cfd90ae65b386bf");
  EXPECT_EQ(refs[2].commit->string(), kId);
  EXPECT_EQ(refs[2].creatorDate->offset, -18000);
  EXPECT_FALSE(refs[3].creatorDate); // a tag of a blob has no date and is kept
}

// A malformed line is dropped and reading goes on; names are bytes.
TEST(GitRefParser, DropsMalformedLinesAndReadsOn) {
  const std::string good = line("refs/heads/good");
  struct Case {
    const char* name;
    std::string line;
  } cases[] = {
      {"one field too many", good + "\textra"},
      {"one field too few", good.substr(0, good.rfind('\t'))},
      {"date without zone", line("refs/heads/bad", "\t\t\t\t\t2024-01-02T10:00:00")},
      {"missing objectname", " \t\t\trefs/heads/bad\t\t\t\t\t" + kDate},
      {"bad objectname", " \tzz\t\trefs/heads/bad\t\t\t\t\t" + kDate},
      {"bad peeled id", " \t" + kId + "\t12\trefs/heads/bad\t\t\t\t\t" + kDate},
      {"empty line", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(names(line("refs/heads/a\xE9") + "\n" + c.line + "\n" + good + "\n"),
              (std::vector<std::string>{"refs/heads/a\xE9", "refs/heads/good"}));
  }
}

// Other field lists: unknown names are ignored, a name given twice takes
// its last value, as the field dictionary does.
TEST(GitRefParser, ReadsOtherFieldListsLikeTheDictionary) {
  const std::vector<std::string> fields{"refname", "color", "HEAD", "objectname", "refname", "creatordate"};
  auto ref = GitRefParser::parseLine("refs/heads/first\tred\t*\t" + kId + "\trefs/heads/second\t" + kDate, fields);
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref->name, "refs/heads/second");
  EXPECT_FALSE(ref->creatorDate); // "creatordate" is not the reader's date field
  EXPECT_EQ(GitRef::fromFields({{"refname", "refs/heads/second"}, {"HEAD", "*"}, {"objectname", kId}}), ref);
}
