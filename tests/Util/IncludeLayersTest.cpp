// Holds the layering of the library: every `#include "tavrik/<Folder>/..."`
// in include/ and src/ must be an edge the tables below allow. Layers run one
// way: Util, Interfaces, the operation base (Operation), Process, State,
// Queue, then the command folders, then the client (which is outside
// include/ and src/).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Each folder and the folders it may include. A new folder gets a row here
// and is named in the rows of the folders above it that use it.
const std::map<std::string, std::set<std::string>> kAllowedFolders = {
    {"Util", {}},
    {"Interfaces", {"Util"}},
    {"Operation", {"Util", "Interfaces"}},
    {"Process", {"Util", "Interfaces", "Operation"}},
    {"State", {"Util", "Interfaces", "Operation", "Process"}},
    {"Queue", {"Util", "Interfaces", "Operation", "Process", "State"}},
    {"Commands", {"Util", "Interfaces", "Operation", "Process", "State", "Queue", "Rebase"}},
    {"Diff", {"Util", "Interfaces", "Operation", "Process", "State", "Queue", "Commands"}},
    {"History", {"Util", "Interfaces", "Operation", "Process", "State", "Queue"}},
    {"Rebase", {"Util", "Interfaces", "Operation", "Process", "State", "Queue"}},
    {"Tools", {"Util", "Interfaces", "Operation", "Process", "State", "Queue", "Commands"}},
    // The undo journal runs git as the operations do and reaches the queue
    // only through the operation layer's GitOperationJournal.
    {"Journal", {"Util", "Interfaces", "Operation", "Process", "State", "Queue"}},
    // The one JSON form of the records sits above every folder whose records it writes.
    {"Json", {"Util", "Interfaces", "Operation", "Process", "State", "Queue", "Commands", "Diff", "History", "Journal"}},
};

// Headers of a higher folder that lower ones may include: the narrow
// interfaces a higher layer implements for them. None today: the one the
// queue implements, GitOperationHost, sits in Operation.
const std::set<std::string> kInterfaceHeaders = {};

struct ToleratedEdge {
  std::string folder;   // the including folder
  std::string included; // "Folder/Header.h"
};

// Edges against the layer order that remain until their types move down.
// An entry that no longer occurs fails the test, so the list only shrinks.
const std::vector<ToleratedEdge> kTolerated = {
    // The view holds the log descriptor, a History record.
    {"Queue", "History/GitLogDescriptor.h"},
};

struct Edge {
  std::string file; // relative to the source tree
  std::string folder;
  std::string included;
};

// The folder of `path` below include/tavrik or src, empty for none.
std::string folderOf(const fs::path& relative) {
  auto it = relative.begin();
  if (it == relative.end()) return {};
  if (*it == "include") {
    if (++it == relative.end() || *it != "tavrik") return {};
  }
  if (++it == relative.end()) return {};
  auto next = it;
  if (++next == relative.end()) return {}; // a file directly in the root
  return it->string();
}

std::vector<Edge> crossFolderIncludes(const fs::path& root) {
  static const std::regex include(R"(^\s*#\s*include\s*[<"]tavrik/([A-Za-z0-9_]+)/([^">]+)[">])");
  std::vector<Edge> edges;
  for (const char* top : {"include/tavrik", "src"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
      const auto ext = entry.path().extension();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
      const auto relative = fs::relative(entry.path(), root);
      const std::string folder = folderOf(relative);
      if (folder.empty()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::string line;
      std::smatch match;
      while (std::getline(in, line))
        if (std::regex_search(line, match, include) && match[1] != folder)
          edges.push_back({relative.string(), folder, match[1].str() + "/" + match[2].str()});
    }
  }
  return edges;
}

TEST(IncludeLayers, EveryEdgeBetweenFoldersIsAllowed) {
  const fs::path root = TAVRIK_SOURCE_DIR;
  const auto edges = crossFolderIncludes(root);
  ASSERT_FALSE(edges.empty()) << "no includes found below " << root;

  std::set<std::pair<std::string, std::string>> used;
  for (const auto& edge : edges) {
    SCOPED_TRACE(edge.file + " includes " + edge.included);
    auto row = kAllowedFolders.find(edge.folder);
    ASSERT_NE(row, kAllowedFolders.end()) << "folder " << edge.folder << " has no row in the table";
    const std::string target = edge.included.substr(0, edge.included.find('/'));
    EXPECT_TRUE(kAllowedFolders.count(target)) << "folder " << target << " has no row in the table";
    if (row->second.count(target) || kInterfaceHeaders.count(edge.included)) continue;
    bool tolerated = false;
    for (const auto& t : kTolerated)
      if (t.folder == edge.folder && t.included == edge.included) tolerated = true;
    EXPECT_TRUE(tolerated) << edge.folder << " may not include " << target;
    if (tolerated) used.insert({edge.folder, edge.included});
  }
  for (const auto& t : kTolerated)
    EXPECT_TRUE(used.count({t.folder, t.included}))
        << t.folder << " no longer includes " << t.included << ": drop it from the tolerated edges";
}

} // namespace
