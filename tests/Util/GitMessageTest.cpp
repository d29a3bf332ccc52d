#include "tavrik/Util/GitMessage.h"

#include <gtest/gtest.h>

using tavrik::GitMessage;

TEST(GitMessage, StoresTrimmedText) {
  EXPECT_EQ(GitMessage("  \n Title\n\nBody \n\n").string, "Title\n\nBody");
  EXPECT_EQ(GitMessage("").string, "");
  EXPECT_EQ(GitMessage("\u2028x\u00A0").string, "x");
}

TEST(GitMessage, PrettifyCleansEveryLine) {
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"Title  \n\nBody\t", "Title\n\nBody\n"},
      {"", ""},
      {"a\n", "a\n"},
      {"\n", "\n"},
      {"a \t\u3000\nb", "a\nb\n"},
      {"a\r\nb", "a\nb\n"},            // CR LF is one newline
      {"a\r\rb", "a\n\nb\n"},          // lone CRs are each a newline
      {"a\vb\fc\u0085d\u2028e\u2029f", "a\nb\nc\nd\ne\nf\n"},
      {"a  \r\n  \r\nb", "a\n\nb\n"},
      {"keep  inner  space", "keep  inner  space\n"},
      {"bad\xFF \n\xC3", "bad\xFF\n\xC3\n"},
      {"\u200B \n", "\u200B\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    GitMessage message;
    message.string = c.input; // prettify works on the stored text as it is
    EXPECT_EQ(message.prettify(), c.expected);
  }
  EXPECT_EQ(GitMessage("Title  \n\nBody\t").prettify(), "Title\n\nBody\n");
}

