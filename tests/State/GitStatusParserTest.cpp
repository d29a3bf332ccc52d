#include "tavrik/State/GitStatusParser.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tavrik;
using namespace std::string_literals;

namespace {

// Every field of an entry that is present, compactly: "XY S... h100644 H7898 %100 new<old".
std::string show(const GitStatusEntry& e) {
  std::ostringstream s;
  s << rawValue(e.index) << rawValue(e.worktree);
  const auto& sub = e.submoduleState;
  if (sub.isSubmodule || sub.commitChanged || sub.hasTrackedChanges || sub.hasUntrackedChanges)
    s << ' ' << (sub.isSubmodule ? 'S' : '.') << (sub.commitChanged ? 'C' : '.') << (sub.hasTrackedChanges ? 'M' : '.')
      << (sub.hasUntrackedChanges ? 'U' : '.');
  for (auto [name, mode] : {std::pair{"h", &e.modeHead}, {"i", &e.modeIndex}, {"w", &e.modeWorktree},
                            {"1", &e.modeStage1}, {"2", &e.modeStage2}, {"3", &e.modeStage3}})
    if (*mode) s << ' ' << name << **mode;
  for (auto [name, oid] : {std::pair{"H", &e.oidHead}, {"I", &e.oidIndex}, {"A", &e.oidStage1}, {"B", &e.oidStage2},
                           {"C", &e.oidStage3}})
    if (*oid) s << ' ' << name << (*oid)->string().substr(0, 4);
  if (e.score) s << " %" << *e.score;
  s << ' ' << e.newPath.value_or("-");
  if (e.oldPath != e.newPath) s << '<' << e.oldPath.value_or("-");
  return s.str();
}

std::vector<std::string> parse(std::string output) {
  GitBuffer buffer(std::move(output));
  std::vector<std::string> shown;
  for (const auto& e : GitStatusParser::parse(buffer)) shown.push_back(show(e));
  return shown;
}

const std::string kId = "78981922613b2afb6025042ff6bd878ac1994e85";
const std::string kIds = " " + kId + " " + kId + " ";
std::string ordinary(const std::string& xy, const std::string& path, const std::string& sub = "N...") {
  return "1 " + xy + " " + sub + " 100644 100644 100644" + kIds + path + '\0';
}

} // namespace

// Records of `git status -z --porcelain=v2 --ignored` (git 2.39), and records
// as git could write them, against every field the parser reads.
TEST(GitStatusParser, ReadsRecordsIntoEveryField) {
  struct Case {
    const char* name;
    std::string output;
    std::vector<std::string> entries;
  } cases[] = {
      {"recorded mixed output",
       "1 .M N... 100644 100644 100644 78981922613b2afb6025042ff6bd878ac1994e85 "
       "78981922613b2afb6025042ff6bd878ac1994e85 a.txt\0"
       "1 MM N... 100644 100644 100644 6178079822d17af2d34fce4cfbdf355568324720 "
       "eb05f34814cc823277543cead9d8bfe9ca2b4f1f both.txt\0"
       "2 R. N... 100644 100644 100644 13e7564ea0c889e81bcba6f8e496b2a74cdb32fa "
       "13e7564ea0c889e81bcba6f8e496b2a74cdb32fa R100 new.txt\0old.txt\0"
       "? build/\0? \xC3\xBCn\xC3\xAF.txt\0! i.log\0"s,
       {".M h100644 i100644 w100644 H7898 I7898 a.txt", "MM h100644 i100644 w100644 H6178 Ieb05 both.txt",
        "R. h100644 i100644 w100644 H13e7 I13e7 %100 new.txt<old.txt", "?? build/<-", "?? \xC3\xBCn\xC3\xAF.txt<-",
        "!! i.log<-"}},
      {"recorded conflict",
       "u UU N... 100644 100644 100644 100644 df967b96a579e45a18b8251732d16804b2e56a55 "
       "b19a1e93bec1317dc6097229e12afaffbfa74dc2 950b81b7eee953d050aa05a641f8e056c85dd1bd c.txt\0"s,
       {"UU w100644 1100644 2100644 3100644 Adf96 Bb19a C950b c.txt"}},
      {"submodule letters in their slots", ordinary(".M", "a", "SC..") + ordinary(".M", "b", "S.MU") +
                                               ordinary(".M", "c", "xyzw") + ordinary(".M", "d", "S\xC3\xA9MU"),
       {".M SC.. h100644 i100644 w100644 H7898 I7898 a", ".M S.MU h100644 i100644 w100644 H7898 I7898 b",
        ".M h100644 i100644 w100644 H7898 I7898 c", ".M S.MU h100644 i100644 w100644 H7898 I7898 d"}},
      {"names are bytes, kept as git wrote them",
       ordinary(".M", "bad\xFF\xFEname") + "? unt\xE9\0"s + "2 R. N... 100644 100644 100644" + kIds +
           "R100 new\xE9\0old\xFF\0"s + "? a b\tc\nd.txt\0"s,
       {".M h100644 i100644 w100644 H7898 I7898 bad\xFF\xFEname", "?? unt\xE9<-",
        "R. h100644 i100644 w100644 H7898 I7898 %100 new\xE9<old\xFF", "?? a b\tc\nd.txt<-"}},
      {"odd numbers: a mode that is no number reads 0, a letter alone no score, beyond 32 bits nothing",
       "2 R. N... 100644 mode 100644" + kIds + "R new\0old\0"s + "2 C. N... 100644 100644 100644" + kIds +
           "C75 copy\0orig\0"s + "2 R. N... 100644 99999999999 -7" + kIds + "R99999999999 a\0b\0"s,
       {"R. h100644 i0 w100644 H7898 I7898 new<old", "C. h100644 i100644 w100644 H7898 I7898 %75 copy<orig",
        "R. h100644 i0 w-7 H7898 I7898 a<b"}},
      // A record rejected before its path leaves the parser inside it: the
      // rest reads as unknown records and swallows what follows.
      {"unknown status letter", ordinary(".Z", "bad") + ordinary(".M", "ok"), {}},
      {"XY of three letters", ordinary(".MM", "bad") + ordinary(".M", "ok"), {}},
      {"sub of three characters", ordinary(".M", "bad", "N..") + ordinary(".M", "ok"), {}},
      {"short object id", "1 .M N... 100644 100644 100644 " + kId.substr(1) + " " + kId + " bad\0"s + ordinary(".M", "ok"), {}},
      {"mode not UTF-8", ordinary(".M", "ok") + "1 .M N... 100644 10\xFF" "644 100644" + kIds + "x\0"s,
       {".M h100644 i100644 w100644 H7898 I7898 ok"}},
      {"sub not UTF-8", ordinary(".M", "ok") + ordinary(".M", "x", "N.\xFF."),
       {".M h100644 i100644 w100644 H7898 I7898 ok"}},
      {"empty output", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse(c.output), c.entries);
  }
}

// Every proper prefix of a rename record yields nothing or, once the source
// path has begun, the record with the partial source path.
TEST(GitStatusParser, TruncatedOutputYieldsNothingOrThePartialSource) {
  const std::string record = "2 R. N... 100644 100644 100644" + kIds + "R100 new.txt\0old.txt\0"s;
  const size_t source = record.find("old.txt");
  for (size_t n = 0; n < record.size(); ++n) {
    SCOPED_TRACE(n);
    auto entries = parse(record.substr(0, n));
    if (n <= source) EXPECT_TRUE(entries.empty());
    else EXPECT_EQ(entries, (std::vector<std::string>{"R. h100644 i100644 w100644 H7898 I7898 %100 new.txt<" +
                                                      record.substr(source, n - source)}));
  }
}

TEST(GitStatusParser, FailedRecordLeavesTheBufferWhereTheReadStopped) {
  GitBuffer rejected("1 .Z N... rest"s);
  EXPECT_FALSE(GitStatusParser::parseRecord(rejected));
  EXPECT_EQ(rejected.remaining(), "N... rest");
  GitBuffer header("# branch.oid abc"s);
  EXPECT_FALSE(GitStatusParser::parseRecord(header));
  EXPECT_EQ(header.remaining(), "ranch.oid abc");
}
