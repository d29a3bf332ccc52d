#include "tavrik/Util/StringUtilities.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

using namespace tavrik;

namespace {

struct Case {
  std::string input;
  std::string expected;
};

// Restores an environment variable when the test ends.
class ScopedEnv {
public:
  explicit ScopedEnv(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

private:
  const char* name_;
  std::optional<std::string> old_;
};

} // namespace

TEST(StringUtilities, TrimmedRemovesUnicodeWhitespaceAndNewlinesAtBothEnds) {
  std::vector<Case> cases = {
      {"", ""},
      {"   ", ""},
      {" \t\r\n\v\fabc \n", "abc"},
      {"a b", "a b"},
      {"\u00A0\u2003x\u3000\u2029", "x"},     // no-break space, em space, ideographic space, paragraph separator
      {"\u0085x\u2028", "x"},                 // next line, line separator
      {"\u200Bx\u200B", "\u200Bx\u200B"},     // zero-width space is not White_Space
      {"  caf\u00E9  ", "caf\u00E9"},
      {" \xFF x \xC3 ", "\xFF x \xC3"},       // invalid bytes stay and are not whitespace
      {"\xE2\x80", "\xE2\x80"},               // truncated sequence
      {" \xC0\xA0 ", "\xC0\xA0"},             // overlong encoding of a space is not a space
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(trimmed(c.input), c.expected);
  }
}

TEST(StringUtilities, NilOnEmptyAndQuoted) {
  EXPECT_EQ(nilOnEmpty(""), std::nullopt);
  EXPECT_EQ(nilOnEmpty(" "), " ");
  EXPECT_EQ(nilOnEmpty("x"), "x");
  EXPECT_EQ(quoted(""), "\"\"");
  EXPECT_EQ(quoted("a \"b\""), "\"a \"b\"\"");
}

TEST(StringUtilities, GitSubjectIsFirstLineOfTrimmedMessage) {
  std::vector<Case> cases = {
      {"  \n\nFix build\nDetails", "Fix build"},
      {"", ""},
      {" \n\t\n ", ""},
      {"One line", "One line"},
      {"Subject  \n\nBody\n", "Subject  "},
      {"a\n\n\nb", "a"},
      // A CR LF pair is one character, not a line feed, so it does not split.
      {"Fix\r\nDetails", "Fix\r\nDetails"},
      {"Fix\r\nDetails\nMore", "Fix\r\nDetails"},
      {"Lone\rCR\nnext", "Lone\rCR"},
      {"a\r\r\nb\nc", "a\r\r\nb"},
      {"\xFF\xFE\nrest", "\xFF\xFE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(gitSubject(c.input), c.expected);
  }
}

TEST(StringUtilities, GitSanitizedBranchNameJoinsPiecesWithDashes) {
  std::vector<Case> cases = {
      {"  fix   login bug ", "fix-login-bug"},
      {"", ""},
      {"   ", ""},
      {"one", "one"},
      {"tab\tand\u00A0nbsp\u3000wide", "tab-and-nbsp-wide"},
      {"keep\nnewline", "keep\nnewline"}, // newlines are not whitespace separators
      {"caf\u00E9 au lait", "caf\u00E9-au-lait"},
      {"\xFF \xFE", "\xFF-\xFE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(gitSanitizedBranchName(c.input), c.expected);
  }
}

TEST(StringUtilities, ExpandingTildeWithGivenHome) {
  std::optional<std::string> home = "/home/user";
  std::vector<Case> cases = {
      {"~", "/home/user"},
      {"~/x", "/home/user/x"},
      {"~/a~b", "/home/user/a/home/userb"}, // every "~" is replaced
      {"~user/x", "~user/x"},
      {"/tmp/~", "/tmp/~"},
      {"", ""},
      {"~~", "~~"},
      {"~/\u0301x", "~/\u0301x"}, // "/" with a combining mark is not the character "/"
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(expandingTildeInPath(c.input, home), c.expected);
  }
  EXPECT_EQ(expandingTildeInPath("~/x", std::nullopt), "~/x");
  EXPECT_EQ(expandingTildeInPath("~", std::string("/")), "/");
  EXPECT_EQ(expandingTildeInPath("~/x", std::string("/")), "//x");
  EXPECT_EQ(expandingTildeInPath("~/x", std::string("/h/\xFF")), "/h/\xFF/x");
}

// Home entries as the user database may hold them.
TEST(StringUtilities, OddHomeEntries) {
  EXPECT_EQ(homeDirectoryPath("/home/user/"), "/home/user");
  EXPECT_EQ(homeDirectoryPath("/home/user//"), "/home/user");
  EXPECT_EQ(homeDirectoryPath("/"), "/");
  EXPECT_EQ(homeDirectoryPath("//"), "/");
  EXPECT_EQ(homeDirectoryPath(""), std::nullopt);
  EXPECT_EQ(homeDirectoryPath("relative/home"), std::nullopt);

  EXPECT_EQ(expandingTildeInPath("~/x", std::string("/home/user/")), "/home/user/x");
  EXPECT_EQ(abbreviatingWithTildeInPath("/home/user/x", std::string("/home/user/")), "~/x");
  EXPECT_EQ(expandingTildeInPath("~/x", std::string("")), "~/x");
  EXPECT_EQ(expandingTildeInPath("~/x", std::string("relative")), "~/x");
  EXPECT_EQ(abbreviatingWithTildeInPath("relative/x", std::string("relative")), "relative/x");
  // A home containing "~" is substituted once, not recursively.
  EXPECT_EQ(expandingTildeInPath("~/a", std::string("/h/~x")), "/h/~x/a");
  EXPECT_EQ(abbreviatingWithTildeInPath("/h/~x/a", std::string("/h/~x")), "~/a");
  EXPECT_EQ(expandingTildeInPath("~", std::string("/home/\xC3\xA9l\xC3\xA8ve")), "/home/\xC3\xA9l\xC3\xA8ve");
}

TEST(StringUtilities, AbbreviatingWithTildeWithGivenHome) {
  std::optional<std::string> home = "/home/user";
  std::vector<Case> cases = {
      {"/home/user", "~"},
      {"/home/user/x", "~/x"},
      {"/home/userx", "/home/userx"},
      {"/home/user/y/home/user", "~/y~"}, // every occurrence is replaced
      {"/other/home/user", "/other/home/user"},
      {"", ""},
      {"/home/user/\u0301", "/home/user/\u0301"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(abbreviatingWithTildeInPath(c.input, home), c.expected);
  }
  EXPECT_EQ(abbreviatingWithTildeInPath("/home/user", std::nullopt), "/home/user");
  EXPECT_EQ(abbreviatingWithTildeInPath("/", std::string("/")), "~");
  EXPECT_EQ(abbreviatingWithTildeInPath("/tmp", std::string("/")), "/tmp");
  EXPECT_EQ(abbreviatingWithTildeInPath("x", std::string("")), "x");
}

// The functions without a home argument read the real user database entry,
// whatever HOME says.
TEST(StringUtilities, TildeFunctionsUseTheUserDatabaseNotHOME) {
  passwd* entry = getpwuid(getuid());
  if (!entry || !entry->pw_dir || entry->pw_dir[0] != '/') GTEST_SKIP() << "no home directory in the user database";
  std::string home = entry->pw_dir;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  ASSERT_EQ(currentUserHomeDirectory(), home);

  ScopedEnv restore("HOME");
  setenv("HOME", "/definitely/not/home", 1);
  EXPECT_EQ(expandingTildeInPath("~"), home);
  EXPECT_EQ(expandingTildeInPath("~/src"), home == "/" ? "//src" : home + "/src");
  EXPECT_EQ(abbreviatingWithTildeInPath(home), "~");
  EXPECT_EQ(expandingTildeInPath("/tmp/~"), "/tmp/~");
}

TEST(StringUtilities, DropPrefixOnCharacterBoundaries) {
  EXPECT_EQ(dropPrefix("refs/heads/main", "refs/heads/"), "main");
  EXPECT_EQ(dropPrefix("main", "refs/heads/"), "main");
  EXPECT_EQ(dropPrefix("abc", ""), "abc");
  EXPECT_EQ(dropPrefix("abc", "abc"), "");
  EXPECT_EQ(dropPrefix("ab", "abc"), "ab");
  // "e" is not the first character of "e" + combining acute accent.
  EXPECT_EQ(dropPrefix("e\u0301x", "e"), "e\u0301x");
  EXPECT_EQ(dropPrefix("e\u0301x", "e\u0301"), "x");
  // CR LF is one character, so "\r" is not a prefix of it.
  EXPECT_EQ(dropPrefix("\r\nx", "\r"), "\r\nx");
  // Flags are pairs of regional indicators.
  EXPECT_EQ(dropPrefix("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", "\U0001F1E9\U0001F1EA"), "\U0001F1EB\U0001F1F7");
  EXPECT_EQ(dropPrefix("\U0001F1E9\U0001F1EA", "\U0001F1E9"), "\U0001F1E9\U0001F1EA");
  // Emoji ZWJ sequence and skin-tone modifier.
  EXPECT_EQ(dropPrefix("\U0001F469\u200D\U0001F4BB", "\U0001F469"), "\U0001F469\u200D\U0001F4BB");
  EXPECT_EQ(dropPrefix("\U0001F44D\U0001F3FD", "\U0001F44D"), "\U0001F44D\U0001F3FD");
  // Hangul jamo compose one syllable.
  EXPECT_EQ(dropPrefix("\u1100\u1161", "\u1100"), "\u1100\u1161");
  EXPECT_EQ(dropPrefix("\xFF\xFEx", "\xFF"), "\xFEx");
  EXPECT_EQ(dropPrefix("\xE2\x82\xAC", "\xE2"), "\xE2\x82\xAC"); // cuts a scalar in two
}

TEST(StringUtilities, HasDiffableImageExtension) {
  for (const char* yes : {"Logo.PNG", "a.png", "b.jpg", "c.JPEG", "dir.d/x.JpG", ".png"}) {
    SCOPED_TRACE(yes);
    EXPECT_TRUE(hasDiffableImageExtension(yes));
  }
  for (const char* no : {"png", "a.gif", "a.png.txt", "apng", "a.pn", "", "a.png\u0301", "a.jpe"}) {
    SCOPED_TRACE(no);
    EXPECT_FALSE(hasDiffableImageExtension(no));
  }
}

TEST(StringUtilities, SandboxContainerFromEnvironment) {
  ScopedEnv restore("APP_SANDBOX_CONTAINER_ID");
  unsetenv("APP_SANDBOX_CONTAINER_ID");
  EXPECT_EQ(appSandboxContainerID(), std::nullopt);
  EXPECT_FALSE(isSandboxed());
  setenv("APP_SANDBOX_CONTAINER_ID", "", 1);
  EXPECT_EQ(appSandboxContainerID(), "");
  EXPECT_TRUE(isSandboxed());
  setenv("APP_SANDBOX_CONTAINER_ID", "com.example.app", 1);
  EXPECT_EQ(appSandboxContainerID(), "com.example.app");
  EXPECT_TRUE(isSandboxed());
}

// Every operation is linear: 8 MB of whitespace around a word, a word of
// invalid bytes and a long run of combining marks come back promptly.
TEST(StringUtilities, HugeInputIsHandledInOnePass) {
  std::string blanks(4 << 20, ' ');
  std::string text = blanks + "word" + blanks;
  EXPECT_EQ(trimmed(text), "word");
  EXPECT_EQ(gitSubject(text), "word");
  EXPECT_EQ(gitSanitizedBranchName(text), "word");
  std::string invalid(8 << 20, '\xFF');
  EXPECT_EQ(trimmed(invalid).size(), invalid.size());
  EXPECT_EQ(gitSanitizedBranchName(invalid).size(), invalid.size());
  std::string marks = "e";
  for (int i = 0; i < (1 << 20); ++i) marks += "\u0301";
  EXPECT_EQ(dropPrefix(marks, "e"), marks);
  std::string tildes = "~/" + std::string(1 << 20, '~');
  EXPECT_EQ(expandingTildeInPath(tildes, std::string("/h")).size(), 1 + 2 * ((1u << 20) + 1));
}
