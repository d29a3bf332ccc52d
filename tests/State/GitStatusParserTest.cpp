#include "tavrik/State/GitStatusParser.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace std::string_literals;

namespace {

Oid oid(std::string_view hex) { return *Oid::parse(hex); }

std::vector<GitStatusEntry> parse(std::string output) {
  GitBuffer buffer(std::move(output));
  return GitStatusParser::parse(buffer);
}

// Recorded from `git status -z --porcelain=v2 --ignored` (git 2.39) in a
// repository with a worktree edit, a staged and re-edited file, a staged
// rename, a staged edit, an untracked directory, a non-ASCII name and an
// ignored file.
const std::string kMixed =
    "1 .M N... 100644 100644 100644 78981922613b2afb6025042ff6bd878ac1994e85 "
    "78981922613b2afb6025042ff6bd878ac1994e85 a.txt\0"
    "1 MM N... 100644 100644 100644 6178079822d17af2d34fce4cfbdf355568324720 "
    "eb05f34814cc823277543cead9d8bfe9ca2b4f1f both.txt\0"
    "2 R. N... 100644 100644 100644 13e7564ea0c889e81bcba6f8e496b2a74cdb32fa "
    "13e7564ea0c889e81bcba6f8e496b2a74cdb32fa R100 new.txt\0old.txt\0"
    "1 M. N... 100644 100644 100644 b4785957bc986dc39c629de9fac9df46972c00fc "
    "9434c9a56efddb2ef490b02a0a8a160afd9e8fc5 staged.txt\0"
    "? .gitignore\0"
    "? build/\0"
    "? \xC3\xBCn\xC3\xAF.txt\0"
    "! i.log\0"s;

// Recorded from a merge that stopped on a conflict in c.txt.
const std::string kUnmerged =
    "u UU N... 100644 100644 100644 100644 df967b96a579e45a18b8251732d16804b2e56a55 "
    "b19a1e93bec1317dc6097229e12afaffbfa74dc2 950b81b7eee953d050aa05a641f8e056c85dd1bd c.txt\0"s;

} // namespace

TEST(GitStatusParser, ReadsEveryRecordTypeOfRecordedOutput) {
  auto entries = parse(kMixed);
  ASSERT_EQ(entries.size(), 8u);

  const auto& a = entries[0];
  EXPECT_EQ(a.index, GitStatus::unmodified);
  EXPECT_EQ(a.worktree, GitStatus::modified);
  EXPECT_EQ(a.oldPath, "a.txt");
  EXPECT_EQ(a.newPath, "a.txt");
  EXPECT_EQ(a.modeHead, 100644);
  EXPECT_EQ(a.modeIndex, 100644);
  EXPECT_EQ(a.modeWorktree, 100644);
  EXPECT_EQ(a.oidHead, oid("78981922613b2afb6025042ff6bd878ac1994e85"));
  EXPECT_EQ(a.oidIndex, oid("78981922613b2afb6025042ff6bd878ac1994e85"));
  EXPECT_FALSE(a.modeStage1 || a.oidStage1 || a.score || a.modificationDate);
  EXPECT_EQ(a.submoduleState, GitSubmoduleState{});
  EXPECT_EQ(a.isStaged(), GitStaged::no);

  EXPECT_EQ(entries[1].isStaged(), GitStaged::partial);
  EXPECT_EQ(entries[1].oidIndex, oid("eb05f34814cc823277543cead9d8bfe9ca2b4f1f"));

  const auto& rename = entries[2];
  EXPECT_EQ(rename.index, GitStatus::renamed);
  EXPECT_EQ(rename.worktree, GitStatus::unmodified);
  EXPECT_EQ(rename.newPath, "new.txt");
  EXPECT_EQ(rename.oldPath, "old.txt");
  EXPECT_EQ(rename.score, 100);
  EXPECT_TRUE(rename.isRenamed());

  EXPECT_EQ(entries[3].isStaged(), GitStaged::yes);

  for (size_t i : {4u, 5u, 6u}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].index, GitStatus::untracked);
    EXPECT_EQ(entries[i].worktree, GitStatus::untracked);
    EXPECT_FALSE(entries[i].oldPath);
    EXPECT_FALSE(entries[i].modeWorktree);
  }
  EXPECT_EQ(entries[5].newPath, "build/");
  EXPECT_TRUE(entries[5].isDirectory());
  EXPECT_EQ(entries[6].newPath, "\xC3\xBCn\xC3\xAF.txt");
  EXPECT_EQ(entries[7].index, GitStatus::ignored);
  EXPECT_EQ(entries[7].newPath, "i.log");
}

TEST(GitStatusParser, ReadsUnmergedRecordStages) {
  auto entries = parse(kUnmerged);
  ASSERT_EQ(entries.size(), 1u);
  const auto& e = entries[0];
  EXPECT_EQ(e.index, GitStatus::unmerged);
  EXPECT_EQ(e.worktree, GitStatus::unmerged);
  EXPECT_EQ(e.modeStage1, 100644);
  EXPECT_EQ(e.modeStage2, 100644);
  EXPECT_EQ(e.modeStage3, 100644);
  EXPECT_EQ(e.modeWorktree, 100644);
  EXPECT_FALSE(e.modeHead);
  EXPECT_FALSE(e.modeIndex);
  EXPECT_EQ(e.oidStage1, oid("df967b96a579e45a18b8251732d16804b2e56a55"));
  EXPECT_EQ(e.oidStage2, oid("b19a1e93bec1317dc6097229e12afaffbfa74dc2"));
  EXPECT_EQ(e.oidStage3, oid("950b81b7eee953d050aa05a641f8e056c85dd1bd"));
  EXPECT_EQ(e.oldPath, "c.txt");
  EXPECT_EQ(e.newPath, "c.txt");
  EXPECT_TRUE(e.hasConflict());
}

TEST(GitStatusParser, ReadsSubmoduleField) {
  const std::string zero(40, '0');
  struct Case {
    std::string sub;
    GitSubmoduleState expected;
  } cases[] = {
      {"N...", {false, false, false, false}},
      {"S...", {true, false, false, false}},
      {"SC..", {true, true, false, false}},
      {"S.MU", {true, false, true, true}},
      {"SCMU", {true, true, true, true}},
      // Any four characters are accepted; only the letters in their slots count.
      {"xyzw", {false, false, false, false}},
      {"S\xC3\xA9MU", {true, false, true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sub);
    auto entries = parse("1 .M " + c.sub + " 160000 160000 160000 " + zero + " " + zero + " sub\0"s);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].submoduleState, c.expected);
  }
}

TEST(GitStatusParser, DropsMalformedRecords) {
  const std::string id = "78981922613b2afb6025042ff6bd878ac1994e85";
  const std::string good = "1 .M N... 100644 100644 100644 " + id + " " + id + " ok.txt\0"s;
  // A record rejected before its path leaves the parser inside it: the rest
  // is read as further (unknown) records, which here swallows the good ones
  // behind it. A record rejected at its path ends on the path's NUL, so the
  // records behind it are reached intact.
  struct Case {
    const char* name;
    std::string record;
    size_t survivors;
  } cases[] = {
      {"unknown status letter", "1 .Z N... 100644 100644 100644 " + id + " " + id + " bad.txt\0"s, 0},
      {"XY of three letters", "1 .MM N... 100644 100644 100644 " + id + " " + id + " bad.txt\0"s, 0},
      {"sub of three characters", "1 .M N.. 100644 100644 100644 " + id + " " + id + " bad.txt\0"s, 0},
      {"short object id", "1 .M N... 100644 100644 100644 " + id.substr(1) + " " + id + " bad.txt\0"s, 0},
      {"object id not hex", "1 .M N... 100644 100644 100644 " + std::string(40, 'g') + " " + id + " bad.txt\0"s, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto entries = parse(c.record + good + good);
    EXPECT_EQ(entries.size(), c.survivors);
    for (const auto& e : entries) EXPECT_EQ(e.newPath, "ok.txt");
  }
}

TEST(GitStatusParser, FailedRecordLeavesBufferWhereTheReadStopped) {
  const std::string id = "78981922613b2afb6025042ff6bd878ac1994e85";
  GitBuffer buffer("1 .Z N... rest"s);
  EXPECT_FALSE(GitStatusParser::parseRecord(buffer));
  // Type and XY were read; the sub field is next.
  EXPECT_EQ(buffer.remaining(), "N... rest");
}

TEST(GitStatusParser, UnknownTypeAdvancesOneByteBeyondItsField) {
  GitBuffer buffer("# branch.oid abc"s);
  EXPECT_FALSE(GitStatusParser::parseRecord(buffer));
  EXPECT_EQ(buffer.remaining(), "ranch.oid abc");
  GitBuffer lone("#"s);
  EXPECT_FALSE(GitStatusParser::parseRecord(lone));
  EXPECT_TRUE(lone.atEnd());
}

TEST(GitStatusParser, OddNumbersStayLenient) {
  const std::string id = "78981922613b2afb6025042ff6bd878ac1994e85";
  auto entries = parse("2 R. N... 100644 mode 100644 " + id + " " + id + " R new\0old\0"s + "2 C. N... 100644 100644 100644 " +
                       id + " " + id + " C75 copy\0orig\0"s);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].modeIndex, 0);  // not a number: present with 0
  EXPECT_FALSE(entries[0].score);      // letter alone: absent
  EXPECT_EQ(entries[1].score, 75);
  EXPECT_EQ(entries[1].index, GitStatus::copied);

  // Numbers beyond what a mode or a percentage can be do not convert.
  auto huge = parse("2 R. N... 100644 99999999999 -7 " + id + " " + id + " R99999999999 a\0b\0"s);
  ASSERT_EQ(huge.size(), 1u);
  EXPECT_EQ(huge[0].modeIndex, 0);
  EXPECT_EQ(huge[0].modeWorktree, -7);
  EXPECT_FALSE(huge[0].score);
}

// A field that is not UTF-8 rejects its record, whichever field it is.
// Paths are bytes to git: a name in a legacy encoding is kept exactly, in
// every record type; other fields that are not UTF-8 still reject the record.
TEST(GitStatusParser, KeepsPathBytesAndRejectsOtherFieldsThatAreNotUTF8) {
  const std::string id = "78981922613b2afb6025042ff6bd878ac1994e85";
  const std::string good = "1 .M N... 100644 100644 100644 " + id + " " + id + " good\0"s;
  const std::string bad[] = {
      "1 .M N... 100644 10\xFF" "644 100644 " + id + " " + id + " x\0"s,
      "1 .M N.\xFF. 100644 100644 100644 " + id + " " + id + " x\0"s,
  };
  for (const auto& record : bad) {
    SCOPED_TRACE(record);
    auto entries = parse(good + record);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].newPath, "good");
  }
  auto kept = parse("1 .M N... 100644 100644 100644 " + id + " " + id + " bad\xFF\xFEname\0"s + "? unt\xE9\0"s +
                    "2 R. N... 100644 100644 100644 " + id + " " + id + " R100 new\xE9\0old\xFF\0"s + good);
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(kept[0].newPath, "bad\xFF\xFEname");
  EXPECT_EQ(kept[1].newPath, "unt\xE9");
  EXPECT_EQ(kept[2].newPath, "new\xE9");
  EXPECT_EQ(kept[2].oldPath, "old\xFF");
  EXPECT_EQ(kept[3].newPath, "good");
  // A sub field of four code points, not four bytes, is accepted.
  auto wide = parse("1 .M N\xC3\xA9.. 100644 100644 100644 " + id + " " + id + " w\0"s);
  ASSERT_EQ(wide.size(), 1u);
  EXPECT_FALSE(wide[0].submoduleState.isSubmodule);
}

TEST(GitStatusParser, HandlesEmptyAndTruncatedOutput) {
  EXPECT_TRUE(parse("").empty());
  const std::string record =
      "2 R. N... 100644 100644 100644 13e7564ea0c889e81bcba6f8e496b2a74cdb32fa "
      "13e7564ea0c889e81bcba6f8e496b2a74cdb32fa R100 new.txt\0old.txt\0"s;
  // Every proper prefix of a rename record either yields nothing or, once the
  // source path has begun, the record with the partial source path.
  for (size_t n = 0; n < record.size(); ++n) {
    SCOPED_TRACE(n);
    auto entries = parse(record.substr(0, n));
    if (n <= record.find("old.txt")) {
      EXPECT_TRUE(entries.empty());
    } else {
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(*entries[0].oldPath, record.substr(record.find("old.txt"), n - record.find("old.txt")));
    }
  }
}

TEST(GitStatusParser, PathsKeepSpacesTabsAndNewlines) {
  auto entries = parse("? a b\tc\nd.txt\0! x y\0"s);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].newPath, "a b\tc\nd.txt");
  EXPECT_EQ(entries[1].newPath, "x y");
}
