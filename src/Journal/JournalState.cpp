#include "JournalState.h"

#include "Interfaces/Plumbing.h"
#include "Process/GitStep.h"
#include "State/IndexSnapshot.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <charconv>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrik::journal {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (!text.empty()) {
    auto end = text.find(separator);
    if (end == std::string_view::npos) end = text.size();
    parts.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return parts;
}

// "<value> <key>" records, each ended by `end`: the refs ("<id> <name>\n")
// and the index's flags ("<letters> <path>\0"; a path may hold a line feed).
std::string pairsText(const std::map<std::string, std::string>& pairs, char end) {
  std::string text;
  for (const auto& [key, value] : pairs) text += value + " " + key + end;
  return text;
}

std::map<std::string, std::string> parsePairs(std::string_view text, char end) {
  std::map<std::string, std::string> pairs;
  for (auto record : split(text, end)) {
    auto space = record.find(' ');
    if (space != std::string_view::npos) pairs[std::string(record.substr(space + 1))] = std::string(record.substr(0, space));
  }
  return pairs;
}

std::map<std::string, std::string> parseIndex(std::string_view text) {
  std::map<std::string, std::string> index;
  for (auto record : split(text, '\0')) {
    auto tab = record.find('\t');
    if (tab == std::string_view::npos) continue;
    index[std::string(record.substr(tab + 1))] += std::string(record) + '\0';
  }
  return index;
}

const std::string kEmptyBlob = "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391",
                  kEmptyBlobSha256 = "473a0f4c3be8a93681a267e3b1e9a7dcda1185436fe141f7749120a303721813";

// git's in-memory flag of an entry added with intent to add, as
// `ls-files --debug` prints it.
constexpr unsigned long kIntentToAddFlag = 1ul << 29;

// Marks with "i" the paths among `candidates` whose entries were added with
// intent to add. `--debug` follows each NUL-ended name with five lines of
// git's own fields, the last "  size: <n>\tflags: <hex>".
void markIntents(GitOperationContext& context, const std::set<std::string>& candidates,
                 std::map<std::string, std::string>& flags) {
  std::vector<std::string> arguments{"--literal-pathspecs", "ls-files", "--debug", "-z", "--"};
  // Named when few, so a large index is not listed again in full.
  if (candidates.size() <= 256) arguments.insert(arguments.end(), candidates.begin(), candidates.end());
  const auto output = runGit(context, std::move(arguments));
  std::string_view rest = output;
  while (!rest.empty()) {
    const auto nameEnd = rest.find('\0');
    if (nameEnd == std::string_view::npos) break;
    const std::string name(rest.substr(0, nameEnd));
    rest.remove_prefix(nameEnd + 1);
    size_t end = 0;
    for (int line = 0; line < 5 && end != std::string_view::npos; ++line)
      if ((end = rest.find('\n', end)) != std::string_view::npos) ++end;
    if (end == std::string_view::npos) throw TavrikError("Cannot read the index's flags for the undo journal.");
    const auto block = rest.substr(0, end - 1);
    rest.remove_prefix(end);
    const auto flagsAt = block.rfind("flags: ");
    unsigned long bits = 0;
    if (flagsAt != std::string_view::npos)
      std::from_chars(block.data() + flagsAt + 7, block.data() + block.size(), bits, 16);
    if ((bits & kIntentToAddFlag) && candidates.count(name)) flags[name].insert(0, "i");
  }
}

// The index's records, and the flags that `-t -v` tag them with ("S" for
// skip-worktree, lower case for assume unchanged). The tags are cut off so
// the records stay as entries always kept them.
IndexListing readIndexListing(GitOperationContext& context) {
  IndexListing listing;
  const auto output = runGit(context, {"ls-files", "--stage", "-t", "-v", "-z"});
  std::set<std::string> maybeIntents;
  for (auto record : split(output, '\0')) {
    auto tab = record.find('\t');
    if (record.size() < 2 || record[1] != ' ' || tab == std::string_view::npos) continue;
    const char tag = record[0];
    record.remove_prefix(2);
    std::string path(record.substr(tab - 1));
    std::string letters;
    if (tag == 'S' || tag == 's') letters += 's';
    if (std::islower(static_cast<unsigned char>(tag))) letters += 'v';
    if (!letters.empty()) listing.indexFlags[path] = letters;
    // An entry added with intent to add shows the empty blob at stage 0:
    // only those need the closer look.
    const auto fields = split(record.substr(0, tab - 2), ' ');
    if (fields.size() == 3 && fields[2] == "0" && (fields[1] == kEmptyBlob || fields[1] == kEmptyBlobSha256))
      maybeIntents.insert(path);
    listing.index[std::move(path)] += std::string(record) + '\0';
  }
  if (!maybeIntents.empty()) markIntents(context, maybeIntents, listing.indexFlags);
  return listing;
}

// "key\nvalue\0" records (a key without a value has no line feed); the
// key is everything before the line feed, in git's own spelling.
std::map<std::string, std::string> parseBranchConfig(std::string_view text) {
  std::map<std::string, std::string> settings;
  for (auto record : split(text, '\0')) {
    auto key = record.substr(0, record.find('\n'));
    if (key.starts_with("branch.")) settings[std::string(key)] += std::string(record) + '\0';
  }
  return settings;
}

const std::string kStateKey = "Tavrik-Undo-State: ", kScopeKey = "Tavrik-Undo-Scope: ", kTimeKey = "Tavrik-Undo-Time: ",
                  kBytesKey = "Tavrik-Undo-Bytes: ";

uint64_t numberOf(std::string_view ref) {
  auto slash = ref.rfind('/');
  uint64_t number = 0;
  std::from_chars(ref.data() + slash + 1, ref.data() + ref.size(), number);
  return number;
}

std::string gitDir(GitOperationContext& context) { return context.requireDescriptor().gitURL.path(); }

// What git keeps of an operation in progress, beside the index and files.
const char* const kProgressFiles[] = {"MERGE_HEAD", "MERGE_MSG", "MERGE_MODE", "MERGE_AUTOSTASH", "AUTO_MERGE",
                                      "CHERRY_PICK_HEAD", "REVERT_HEAD", "ORIG_HEAD", "SQUASH_MSG"};
const char* const kProgressFolders[] = {"rebase-merge", "rebase-apply", "sequencer"};

std::map<std::string, std::string> readProgress(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const char* name : kProgressFiles)
    if (auto bytes = readFileIfExists(dir + "/" + name)) files[name] = std::move(*bytes);
  for (const char* folder : kProgressFolders) {
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(dir + "/" + folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (!it->is_regular_file()) continue;
      if (auto bytes = readFileIfExists(it->path().string()))
        files[std::filesystem::relative(it->path(), dir).string()] = std::move(*bytes);
    }
  }
  return files;
}

// "<path> NUL <size> NUL <bytes>" per file.
std::string progressText(const std::map<std::string, std::string>& files) {
  std::string text;
  for (const auto& [path, bytes] : files) text += path + '\0' + std::to_string(bytes.size()) + '\0' + bytes;
  return text;
}

std::map<std::string, std::string> parseProgress(std::string_view text) {
  std::map<std::string, std::string> files;
  while (!text.empty()) {
    auto pathEnd = text.find('\0');
    auto sizeEnd = text.find('\0', pathEnd + 1);
    if (pathEnd == std::string_view::npos || sizeEnd == std::string_view::npos) break;
    size_t size = 0;
    std::from_chars(text.data() + pathEnd + 1, text.data() + sizeEnd, size);
    files[std::string(text.substr(0, pathEnd))] = std::string(text.substr(sizeEnd + 1, size));
    text.remove_prefix(std::min(text.size(), sizeEnd + 1 + size));
  }
  return files;
}

} // namespace

std::string runGit(GitOperationContext& context, std::vector<std::string> arguments, std::optional<std::string> input,
                   std::optional<std::string> indexFile) {
  std::map<std::string, std::string> variables;
  if (indexFile) variables["GIT_INDEX_FILE"] = std::move(*indexFile);
  // A silent failure must fail the journal too: a state half read would
  // restore the wrong thing.
  return detail::runGitStep(context, {.arguments = std::move(arguments),
                                      .input = std::move(input),
                                      .variables = std::move(variables),
                                      .access = GitExecAccess::write,
                                      .failSilently = true});
}

Store Store::open(GitOperationContext& context) {
  Store store{context, std::nullopt};
  // Set up on a worker beside other work, the library has corrupted the
  // heap: the client sets it up on its own thread, and until then git runs.
  if (!arbor::Repo::isLibraryInitialized()) return store;
  try {
    store.repo = arbor::Repo::openAtPath(context.requireDescriptor().gitURL.path());
  } catch (const arbor::Error&) {
  }
  return store;
}

namespace {

// Appends "<mode> <id> <stage>\t<path>\0" and the flags `ls-files -s -t -v`
// and markIntents give the entry. Written by hand: it runs once per entry of
// indexes of 100,000 and more.
void addIndexRecord(IndexListing& listing, std::string_view path, uint32_t mode, const arbor::Oid& id, int stage,
                    bool skipWorktree, bool assumeUnchanged, bool intentToAdd) {
  char head[6 + 1 + 40 + 4];
  for (int digit = 0; digit < 6; ++digit) head[digit] = char('0' + ((mode >> (3 * (5 - digit))) & 7));
  head[6] = ' ';
  id.writeHex(head + 7);
  head[47] = ' ';
  head[48] = char('0' + (stage & 3));
  head[49] = '\t';
  // "i" for an entry added with intent to add (git lists it with the empty
  // blob); "S" only at stage 0 (unmerged entries are tagged "M"), lower
  // case for assume unchanged.
  std::string letters;
  if (intentToAdd && stage == 0 && std::string_view(head + 7, 40) == kEmptyBlob) letters += 'i';
  if (skipWorktree && stage == 0) letters += 's';
  if (assumeUnchanged) letters += 'v';
  if (!letters.empty()) listing.indexFlags[std::string(path)] = letters;
  listing.text.append(head, sizeof head - 1);
  listing.text += path;
  listing.text += '\0';
}

} // namespace

std::optional<IndexListing> readIndexInProcess(const std::string& indexFile) {
  IndexListing listing;
  // A listing's line is shorter than the entry it lists: one allocation.
  if (auto identity = detail::indexFileIdentity(indexFile)) listing.text.reserve(size_t(std::max(0LL, identity->size)));
  // The engine's own reader first: libgit2 checks the file's hash and
  // builds a map, about 40 ms on 100,000 entries; this reads it in a few.
  const bool read = detail::IndexSnapshot::forEachEntry(indexFile, [&](std::string_view path, const detail::IndexEntry& entry) {
    addIndexRecord(listing, path, entry.mode, entry.oid, entry.stage, entry.skipWorktree, entry.assumeValid,
                   entry.intentToAdd);
  });
  if (read) return listing;
  // A form it leaves to git (version 4) libgit2 may still read, once the
  // client has set it up.
  if (!arbor::Repo::isLibraryInitialized()) return std::nullopt;
  auto records = arbor::plumbing::readIndexFile(indexFile);
  if (!records) return std::nullopt;
  listing = {};
  listing.text.reserve(records->size() * 64);
  for (const auto& record : *records)
    addIndexRecord(listing, record.path, record.mode, record.id, record.stage, record.skipWorktree,
                   record.assumeUnchanged, record.intentToAdd);
  return listing;
}

IndexListing readIndexWithGit(GitOperationContext& context) { return readIndexListing(context); }

std::string indexText(const std::map<std::string, std::string>& index) {
  std::string text;
  for (const auto& [path, records] : index) text += records;
  return text;
}

void readIndexMap(State& state) {
  if (state.index.empty() && !state.indexText.empty()) state.index = parseIndex(state.indexText);
}

void markIndexEntries(GitOperationContext& context, char letter, bool on, const std::vector<std::string>& paths,
                      std::optional<std::string> indexFile) {
  if (paths.empty()) return;
  std::string input;
  for (const auto& path : paths) input += path + '\0';
  const std::string flag = letter == 's' ? "skip-worktree" : "assume-unchanged";
  runGit(context, {"update-index", (on ? "--" : "--no-") + flag, "-z", "--stdin"}, input, std::move(indexFile));
}

void addWithIntent(GitOperationContext& context, const std::vector<std::string>& paths,
                   const std::map<std::string, std::string>& index) {
  static std::atomic<unsigned> counter{0};
  // git adds with intent only what a working tree holds, and takes the
  // entry's mode from the file: a private tree of empty stand-ins gives it
  // both, so the user's own files, wherever they are, play no part.
  const auto root = gitDir(context) + "/tavrik-journal-intents-" + std::to_string(getpid()) + "-" +
                    std::to_string(counter++);
  struct Remove {
    std::string path;
    ~Remove() {
      std::error_code error;
      std::filesystem::remove_all(path, error);
    }
  } remove{root};
  std::string input;
  for (const auto& path : paths) {
    const auto full = root + "/" + path;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path(), error);
    auto it = index.find(path);
    const auto mode = it == index.end() ? std::string("100644") : it->second.substr(0, 6);
    bool made = false;
    if (mode == "120000") {
      made = ::symlink("-", full.c_str()) == 0;
    } else {
      writeFileAtomically(full, "");
      made = ::chmod(full.c_str(), mode == "100755" ? 0755 : 0644) == 0;
    }
    if (!made) throw TavrikError("Cannot add " + path + " back with intent to add", std::strerror(errno));
    input += path + '\0';
  }
  runGit(context, {"-c", "core.fileMode=true", "-c", "core.symlinks=true", "--literal-pathspecs", "--work-tree=" + root,
                   "add", "--intent-to-add", "--force", "--pathspec-from-file=-", "--pathspec-file-nul"},
         input);
}

std::string snapshotWorktree(GitOperationContext& context, const std::map<std::string, std::string>& indexFlags) {
  static std::atomic<unsigned> counter{0};
  const auto dir = gitDir(context);
  const std::string privateIndex =
      dir + "/tavrik-journal-index-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  struct Remove {
    std::string path;
    ~Remove() { std::remove(path.c_str()); }
  } remove{privateIndex};
  // A second name for the index, not a copy: git reads the same bytes and
  // the same file time, which its check for files changed in the second the
  // index was written depends on; its write goes to a new file it renames
  // over this name, so the index itself stays as it is.
  if (::link((dir + "/index").c_str(), privateIndex.c_str()) != 0 && errno != ENOENT)
    throw TavrikError("Cannot read the index for the undo journal", std::strerror(errno));
  // git add passes over entries marked skip-worktree or assume unchanged;
  // their files on disk are kept all the same.
  for (char letter : {'s', 'v'}) {
    std::vector<std::string> marked;
    for (const auto& [path, letters] : indexFlags)
      if (letters.find(letter) != std::string::npos) marked.push_back(path);
    markIndexEntries(context, letter, false, marked, privateIndex);
  }
  runGit(context, {"add", "--all"}, std::nullopt, privateIndex);
  auto tree = runGit(context, {"write-tree"}, std::nullopt, privateIndex);
  while (!tree.empty() && tree.back() == '\n') tree.pop_back();
  return tree;
}

namespace {

// A path the journal can look up as it stands. An absolute path, or one
// with "." or ".." steps, git would take in and resolve; such paths are left
// to the whole tree's snapshot rather than resolved a second way here.
bool isPlainPath(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.back() == '/') return false;
  for (auto part : split(path, '/'))
    if (part.empty() || part == "." || part == ".." || part == ".git") return false;
  return true;
}

struct DiskFile {
  std::string path;
  bool link = false, executable = false;
  uint64_t size = 0;
  std::string id;
};

// The files `git add --all` would take at `paths` and under those that are
// folders: tracked or untracked, not ignored, nothing beyond a symbolic
// link, no repository inside. Sorted by path.
std::vector<DiskFile> filesAt(GitOperationContext& context, const std::string& root,
                              const std::vector<std::string>& paths) {
  std::vector<DiskFile> files;
  std::vector<std::string> folders;
  std::map<std::string, bool> linkFolders; // a leading folder: is it a symbolic link?
  auto take = [&](const std::string& path, bool listFolder) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      auto [it, added] = linkFolders.try_emplace(path.substr(0, slash), false);
      struct stat info {};
      if (added) it->second = ::lstat((root + "/" + it->first).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
      if (it->second) return;
    }
    struct stat info {};
    if (::lstat((root + "/" + path).c_str(), &info) != 0) return;
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))
      files.push_back({.path = path, .link = S_ISLNK(info.st_mode), .executable = (info.st_mode & S_IXUSR) != 0,
                       .size = uint64_t(info.st_size)});
    else if (S_ISDIR(info.st_mode) && listFolder) folders.push_back(path);
  };
  for (const auto& path : paths) take(path, true);
  if (!folders.empty()) {
    std::vector<std::string> arguments{"--literal-pathspecs", "ls-files", "-z", "--cached", "--others",
                                       "--exclude-standard", "--"};
    arguments.insert(arguments.end(), folders.begin(), folders.end());
    const auto output = runGit(context, std::move(arguments));
    std::set<std::string_view> listed; // an unmerged path is listed once per stage
    for (auto name : split(output, '\0'))
      if (!name.ends_with('/')) listed.insert(name);
    for (auto name : listed) take(std::string(name), false);
  }
  std::sort(files.begin(), files.end(), [](const DiskFile& a, const DiskFile& b) { return a.path < b.path; });
  files.erase(std::unique(files.begin(), files.end(), [](const DiskFile& a, const DiskFile& b) { return a.path == b.path; }),
              files.end());
  return files;
}

std::string readLink(const std::string& full) {
  std::string target(256, '\0');
  for (;;) {
    const auto length = ::readlink(full.c_str(), target.data(), target.size());
    if (length < 0) throw TavrikError("Cannot read the link " + full + " for the undo journal", std::strerror(errno));
    if (size_t(length) < target.size()) return target.substr(0, size_t(length));
    target.resize(target.size() * 2);
  }
}

const char* treeMode(const DiskFile& file) { return file.link ? "120000" : file.executable ? "100755" : "100644"; }

// Writes the tree of `files[begin, end)`, which share the first `prefix`
// bytes of their paths, and the trees below it.
arbor::Oid writeTreeOf(const arbor::Repo& repo, const std::vector<DiskFile>& files, size_t begin, size_t end,
                       size_t prefix) {
  std::vector<arbor::plumbing::TreeEntry> entries;
  for (size_t i = begin; i < end;) {
    const std::string_view rest = std::string_view(files[i].path).substr(prefix);
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) {
      entries.push_back({std::string(rest), uint32_t(std::strtoul(treeMode(files[i]), nullptr, 8)), *arbor::Oid::parse(files[i].id)});
      ++i;
      continue;
    }
    // Sorted by bytes, the paths under one folder follow one another.
    const std::string_view folder = std::string_view(files[i].path).substr(0, prefix + slash + 1);
    size_t j = i;
    while (j < end && std::string_view(files[j].path).starts_with(folder)) ++j;
    entries.push_back({std::string(rest.substr(0, slash)), 040000, writeTreeOf(repo, files, i, j, folder.size())});
    i = j;
  }
  return arbor::plumbing::writeObject(repo, "tree", arbor::plumbing::treeBytes(std::move(entries)));
}

// The same objects written by git: hash-object without filters for the
// blobs, and a private index for the trees.
std::string writeTreeWithGit(GitOperationContext& context, const std::string& root, std::vector<DiskFile>& files) {
  std::string paths;
  for (const auto& file : files)
    if (!file.link) paths += gitQuotedPath(file.path) + '\n'; // hash-object unquotes a quoted line
  std::string_view ids;
  const auto output = paths.empty() ? std::string() : runGit(context, {"hash-object", "-w", "--no-filters", "--stdin-paths"}, paths);
  ids = output;
  for (auto& file : files) {
    if (file.link) {
      file.id = runGit(context, {"hash-object", "-w", "--stdin"}, readLink(root + "/" + file.path));
      while (!file.id.empty() && file.id.back() == '\n') file.id.pop_back();
      continue;
    }
    const auto newline = ids.find('\n');
    if (newline == std::string_view::npos) throw TavrikError("git hash-object gave fewer ids than files for the undo journal.");
    file.id = std::string(ids.substr(0, newline));
    ids.remove_prefix(newline + 1);
  }
  static std::atomic<unsigned> counter{0};
  const std::string privateIndex = gitDir(context) + "/tavrik-journal-paths-" + std::to_string(getpid()) + "-" +
                                   std::to_string(counter++);
  struct Remove {
    std::string path;
    ~Remove() { std::remove(path.c_str()); }
  } remove{privateIndex};
  std::string records;
  for (const auto& file : files) records += std::string(treeMode(file)) + " " + file.id + "\t" + file.path + '\0';
  runGit(context, {"update-index", "-z", "--index-info"}, records, privateIndex);
  auto tree = runGit(context, {"write-tree"}, std::nullopt, privateIndex);
  while (!tree.empty() && tree.back() == '\n') tree.pop_back();
  return tree;
}

} // namespace

std::optional<PathSnapshot> snapshotPaths(Store& store, const std::vector<std::string>& paths) {
  if (!std::all_of(paths.begin(), paths.end(), isPlainPath)) return std::nullopt;
  auto& context = store.context;
  const auto root = context.requireDescriptor().url.path();
  auto files = filesAt(context, root, paths);
  PathSnapshot snapshot;
  if (store.repo) {
    try {
      for (auto& file : files) {
        const auto full = root + "/" + file.path;
        std::string bytes;
        if (file.link) {
          bytes = readLink(full);
        } else if (auto read = readFileIfExists(full)) {
          bytes = std::move(*read);
        } else {
          throw TavrikError("Cannot read " + file.path + " for the undo journal", std::strerror(errno));
        }
        file.id = arbor::plumbing::writeObject(*store.repo, "blob", bytes).string();
      }
      snapshot.tree = files.empty() ? arbor::plumbing::writeObject(*store.repo, "tree", "").string()
                                    : writeTreeOf(*store.repo, files, 0, files.size(), 0).string();
    } catch (const arbor::Error& error) {
      throw TavrikError("Cannot keep the files for the undo journal", error.message());
    }
  } else {
    snapshot.tree = files.empty() ? runGit(context, {"mktree"}, "") : writeTreeWithGit(context, root, files);
    while (!snapshot.tree.empty() && snapshot.tree.back() == '\n') snapshot.tree.pop_back();
  }
  for (auto& file : files) snapshot.files.push_back({std::move(file.path), std::move(file.id), file.size});
  return snapshot;
}

uint64_t bytesBeyondIndex(const PathSnapshot& snapshot, std::string_view indexText) {
  // Both lists are in path order: one pass over the records finds them.
  uint64_t bytes = 0;
  auto file = snapshot.files.begin();
  // Walked in place: a list of 100,000 records is not worth copying.
  for (size_t at = 0, end = 0; at < indexText.size(); at = end + 1) {
    end = std::min(indexText.find('\0', at), indexText.size());
    const auto record = indexText.substr(at, end - at);
    const auto tab = record.find('\t');
    if (tab == std::string_view::npos || tab < 2) continue;
    const auto path = record.substr(tab + 1);
    for (; file != snapshot.files.end() && std::string_view(file->path) < path; ++file) bytes += file->size;
    if (file == snapshot.files.end()) break;
    if (file->path == path && record[tab - 1] == '0') {
      if (record.substr(7, file->id.size()) != file->id) bytes += file->size;
      ++file;
    }
  }
  for (; file != snapshot.files.end(); ++file) bytes += file->size;
  return bytes;
}

namespace {

// The branch settings of the configuration file at `path`, read by git once
// per content of the file: `config --local` reads that file alone, without
// its includes, so the same bytes list the same settings, and an entry's
// "before" and "after" (and the next entry's) mostly share one read. git
// rewrites the file unchanged now and then (`branch -D` of a branch without
// settings), which a cache by inode and time would take for a change.
std::map<std::string, std::string> branchSettings(GitOperationContext& context, const std::string& path) {
  struct Cached {
    std::string bytes;
    std::map<std::string, std::string> settings;
  };
  static std::mutex lock; // guards cache
  static auto* cache = new std::map<std::string, Cached>();
  auto bytes = readFileIfExists(path);
  if (!bytes) return parseBranchConfig(runGit(context, {"config", "--local", "-z", "--list"}));
  {
    std::lock_guard guard(lock);
    auto it = cache->find(path);
    if (it != cache->end() && it->second.bytes == *bytes) return it->second.settings;
  }
  auto settings = parseBranchConfig(runGit(context, {"config", "--local", "-z", "--list"}));
  // Read again after git: a write between the two reads is not cached.
  if (readFileIfExists(path) != bytes) return settings;
  std::lock_guard guard(lock);
  (*cache)[path] = {std::move(*bytes), settings};
  return settings;
}

} // namespace

State readState(Store& store, GitJournalScope scope, std::vector<std::string>* journalRefs, bool withIndex,
                const std::optional<std::vector<std::string>>& worktreePaths) {
  auto& context = store.context;
  const auto& descriptor = context.requireDescriptor();
  // Only what the scope's operations change: a branch command leaves the
  // index alone, and only branch commands and checkouts write branch.*.
  // The working tree's snapshot needs the index's flags.
  const bool withIndexFile = scope != GitJournalScope::refs && (withIndex || scope == GitJournalScope::workingTree);
  // Read beside the rest, as on a large index it is the longest part: a
  // file read on its own, which nothing else here touches.
  std::future<std::optional<IndexListing>> inProcess;
  if (withIndexFile)
    inProcess = std::async(std::launch::async, readIndexInProcess, descriptor.gitURL.path() + "/index");
  State state;
  state.head = readFileIfExists(descriptor.gitURL.path() + "/HEAD").value_or("");
  state.stashLog = readFileIfExists(descriptor.commonURL.path() + "/logs/refs/stash");
  std::optional<std::map<std::string, std::string>> refs;
  if (store.repo) {
    try {
      refs.emplace();
      for (auto& ref : arbor::plumbing::forEachRef(*store.repo)) refs->emplace_hint(refs->end(), std::move(ref.name), ref.id.string());
    } catch (const arbor::Error&) {
      refs.reset();
    }
  }
  if (!refs) refs = parsePairs(runGit(context, {"for-each-ref", "--format=%(objectname) %(refname)"}), '\n');
  for (auto& [name, id] : *refs) {
    if (name.starts_with(kJournalRefPrefix)) {
      if (journalRefs) journalRefs->push_back(name);
    } else {
      state.refs.emplace_hint(state.refs.end(), name, std::move(id));
    }
  }
  if (scope != GitJournalScope::refsAndIndex)
    state.branchConfig = branchSettings(context, descriptor.commonURL.path() + "/config");
  state.progress = readProgress(descriptor.gitURL.path());
  std::optional<PathSnapshot> snapshot;
  if (scope == GitJournalScope::workingTree && worktreePaths) snapshot = snapshotPaths(store, *worktreePaths);
  if (withIndexFile) {
    auto listing = inProcess.valid() ? inProcess.get() : std::nullopt;
    if (!listing) listing = readIndexListing(context);
    state.index = std::move(listing->index);
    state.indexText = std::move(listing->text);
    state.indexFlags = std::move(listing->indexFlags);
  }
  if (scope != GitJournalScope::workingTree) return state;
  if (snapshot) {
    state.worktreeBytes = bytesBeyondIndex(*snapshot, state.index.empty() ? state.indexText : indexText(state.index));
    state.worktree = std::move(snapshot->tree);
    state.worktreePaths = worktreePaths;
    return state;
  }
  state.worktree = snapshotWorktree(context, state.indexFlags);
  return state;
}

namespace {

void addBlob(std::string& stream, std::string_view name, std::string_view bytes) {
  stream += "M 100644 inline ";
  stream += name;
  stream += "\ndata " + std::to_string(bytes.size()) + "\n";
  stream += bytes;
  stream += "\n";
}

} // namespace

namespace {

const std::string kEmptyTree = "4b825dc642cb6eb9a060e54bf8d69288fbee4904";

// The entry's files as writeState names them, in the order it adds them.
// The index listing, megabytes on a large repository, is not copied.
struct EntryFiles {
  std::deque<std::string> made; // grows without moving what the views below point into
  std::vector<std::pair<const char*, std::string_view>> files;
  void add(const char* name, std::string bytes) { files.emplace_back(name, made.emplace_back(std::move(bytes))); }
};

EntryFiles entryFiles(const State& state) {
  EntryFiles entry;
  entry.add("head", state.head);
  entry.add("refs", pairsText(state.refs, '\n'));
  if (state.index.empty())
    entry.files.emplace_back("index", state.indexText);
  else
    entry.add("index", indexText(state.index));
  if (!state.indexFlags.empty()) entry.add("index-flags", pairsText(state.indexFlags, '\0'));
  if (state.stashLog) entry.add("stash-log", *state.stashLog);
  if (!state.progress.empty()) entry.add("progress", progressText(state.progress));
  if (!state.branchConfig.empty()) entry.add("branch-config", indexText(state.branchConfig));
  if (state.worktreePaths) {
    std::string paths;
    for (const auto& path : *state.worktreePaths) paths += path + '\0';
    entry.add("worktree-paths", std::move(paths));
  }
  return entry;
}

// The "index" file an entry wrote last, with its id: an entry's "after"
// mostly lists the index its "before" did, and a "before" the one the entry
// before it left. Hashing and compressing it again costs about 70 ms on
// 100,000 files; comparing the bytes, about 1.
struct LastIndexBlob {
  std::mutex lock; // guards the fields below
  std::string gitDir, bytes;
  std::optional<arbor::Oid> id;
};

arbor::Oid writeIndexBlob(const arbor::Repo& repo, std::string_view bytes) {
  // Small listings (and the empty one of a refs-only entry) cost nothing
  // to write, and would push the large one out.
  if (bytes.size() < 65536) return arbor::plumbing::writeObject(repo, "blob", bytes);
  static auto* last = new LastIndexBlob();
  const auto gitDir = repo.commonDirectoryPath();
  {
    std::lock_guard guard(last->lock);
    // Still there: retention, and then gc, may have dropped it since.
    if (last->id && last->gitDir == gitDir && last->bytes == bytes && arbor::plumbing::hasObject(repo, *last->id))
      return *last->id;
  }
  const auto id = arbor::plumbing::writeObject(repo, "blob", bytes);
  std::lock_guard guard(last->lock);
  last->gitDir = gitDir;
  last->bytes.assign(bytes);
  last->id = id;
  return id;
}

// The commit fast-import would write, through libgit2's object database:
// loose objects, as fast-import leaves them too.
void writeStateInProcess(const arbor::Repo& repo, const std::string& ref, const State& state,
                         const std::string& message, const std::optional<std::string>& parentRef) {
  namespace plumbing = arbor::plumbing;
  std::vector<plumbing::TreeEntry> entries;
  const auto files = entryFiles(state);
  for (const auto& [name, bytes] : files.files)
    entries.push_back({name, 0100644,
                       name == std::string_view("index") ? writeIndexBlob(repo, bytes)
                                                         : plumbing::writeObject(repo, "blob", bytes)});
  // fast-import leaves an empty folder out.
  if (state.worktree && *state.worktree != kEmptyTree) {
    auto id = arbor::Oid::parse(*state.worktree);
    if (!id) throw TavrikError("The undo journal's working-tree snapshot " + *state.worktree + " is not an id.");
    entries.push_back({"worktree", 040000, *id});
  }
  const auto tree = plumbing::writeObject(repo, "tree", plumbing::treeBytes(std::move(entries)));
  std::optional<arbor::Oid> parent;
  if (parentRef) {
    parent = plumbing::resolveRef(repo, *parentRef);
    if (!parent) throw TavrikError("The undo journal's entry " + *parentRef + " is gone.");
  }
  const std::string signature = "Tavrik <tavrik@localhost> " + std::to_string(std::time(nullptr)) + " +0000\n";
  std::string commit = "tree " + tree.string() + "\n";
  if (parent) commit += "parent " + parent->string() + "\n";
  commit += "author " + signature + "committer " + signature + "\n" + message;
  const auto id = plumbing::writeObject(repo, "commit", commit);
  // The "after" moves the entry only from its "before".
  plumbing::updateRefs(repo, {{.name = ref, .newId = id, .oldId = parent}});
}

} // namespace

void writeState(Store& store, const std::string& ref, const State& state, const std::string& message,
                const std::optional<std::string>& parentRef) {
  if (store.repo) {
    try {
      writeStateInProcess(*store.repo, ref, state, message, parentRef);
      return;
    } catch (const arbor::Error& error) {
      throw TavrikError("Cannot write the undo journal's entry " + ref, error.message());
    }
  }
  std::string stream = "commit " + ref + "\ncommitter Tavrik <tavrik@localhost> " +
                       std::to_string(std::time(nullptr)) + " +0000\ndata " + std::to_string(message.size()) + "\n" +
                       message + "\n";
  if (parentRef) stream += "from " + *parentRef + "^0\ndeleteall\n";
  const auto files = entryFiles(state);
  for (const auto& [name, bytes] : files.files) addBlob(stream, name, bytes);
  if (state.worktree) stream += "M 040000 " + *state.worktree + " worktree\n";
  stream += "done\n";
  // Loose objects: a pack per entry would slow every object look-up.
  runGit(store.context, {"-c", "fastimport.unpackLimit=100000", "fast-import", "--quiet", "--force", "--done"}, stream);
}

namespace {
// The files of an entry's tree, in the order readEntry's switch reads them;
// entries written before a file existed simply lack it.
const char* const kEntryFiles[] = {"head",     "refs",     "index",         "stash-log",   "worktree",
                                   "progress", "branch-config", "index-flags", "worktree-paths"};
} // namespace

namespace {

// Puts the file `kEntryFiles[file]` of an entry, with these bytes (or for
// the "worktree" folder, this id), into `state`.
void readEntryFile(State& state, size_t file, std::string_view content, std::string_view id) {
  switch (file) {
  case 0: state.head = std::string(content); break;
  case 1: state.refs = parsePairs(content, '\n'); break;
  case 2: state.index = parseIndex(content); break;
  case 3: state.stashLog = std::string(content); break;
  case 4: state.worktree = std::string(id); break;
  case 5: state.progress = parseProgress(content); break;
  case 6: state.branchConfig = parseBranchConfig(content); break;
  case 7: state.indexFlags = parsePairs(content, '\0'); break;
  case 8: {
    state.worktreePaths.emplace();
    for (auto path : split(content, '\0')) state.worktreePaths->emplace_back(path);
    break;
  }
  }
}

std::vector<State> readEntryWithGit(GitOperationContext& context, const EntryRef& entry) {
  const bool complete = entry.entry.complete;
  const std::string before = complete ? entry.ref + "^" : entry.ref;
  std::vector<std::string> names;
  for (const std::string& commit : complete ? std::vector<std::string>{before, entry.ref} : std::vector{before})
    for (const char* file : kEntryFiles)
      names.push_back(commit + ":" + file);
  std::string input;
  for (const auto& name : names) input += name + "\n";
  const auto output = runGit(context, {"cat-file", "--batch"}, input);
  std::string_view rest = output;
  auto states = std::vector<State>(complete ? 2 : 1);
  for (size_t i = 0; i < names.size(); ++i) {
    auto newline = rest.find('\n');
    if (newline == std::string_view::npos) throw TavrikError("The undo journal's entry " + entry.ref + " is damaged.");
    auto header = split(rest.substr(0, newline), ' ');
    rest.remove_prefix(newline + 1);
    if (header.size() < 3) continue; // "<name> missing"
    size_t size = 0;
    std::from_chars(header[2].data(), header[2].data() + header[2].size(), size);
    auto content = rest.substr(0, size);
    rest.remove_prefix(std::min(size + 1, rest.size()));
    readEntryFile(states[i / std::size(kEntryFiles)], i % std::size(kEntryFiles), content, header[0]);
  }
  // An empty working tree leaves no "worktree" folder behind.
  for (auto& state : states)
    if (entry.entry.scope == GitJournalScope::workingTree && !state.worktree)
      state.worktree = runGit(context, {"mktree"}, "");
  return states;
}

EntryStates readEntryInProcess(const arbor::Repo& repo, const EntryRef& entry) {
  namespace plumbing = arbor::plumbing;
  const auto id = arbor::Oid::parse(entry.id);
  if (!id) throw arbor::Error("not an id: " + entry.id);
  std::vector<arbor::Oid> commits{*id};
  if (entry.entry.complete) {
    const auto parents = plumbing::readCommit(repo, *id).parents;
    if (parents.empty()) throw TavrikError("The undo journal's entry " + entry.ref + " is damaged.");
    commits.insert(commits.begin(), parents.front());
  }
  // Each side's files by their place in kEntryFiles.
  std::vector<std::map<size_t, plumbing::TreeEntry>> files(commits.size());
  for (size_t side = 0; side < commits.size(); ++side)
    for (auto& treeEntry : plumbing::readTree(repo, plumbing::readCommit(repo, commits[side]).tree))
      for (size_t file = 0; file < std::size(kEntryFiles); ++file)
        if (treeEntry.name == kEntryFiles[file]) files[side][file] = std::move(treeEntry);
  auto idOf = [&](size_t side, size_t file) {
    auto it = files[side].find(file);
    return it == files[side].end() ? std::optional<arbor::Oid>() : it->second.id;
  };
  constexpr size_t kIndex = 2, kIndexFlags = 7, kWorktree = 4;
  EntryStates result;
  // An entry that left the index as it was has nothing of it to restore:
  // its listing, the largest file, is not read at all.
  result.sameIndex = commits.size() == 2 && idOf(0, kIndex) == idOf(1, kIndex) &&
                     idOf(0, kIndexFlags) == idOf(1, kIndexFlags);
  std::vector<State> states(commits.size());
  for (size_t side = 0; side < commits.size(); ++side) {
    for (const auto& [file, treeEntry] : files[side]) {
      if (result.sameIndex && (file == kIndex || file == kIndexFlags)) continue;
      if (file == kWorktree) readEntryFile(states[side], file, {}, treeEntry.id.string());
      else readEntryFile(states[side], file, plumbing::readBlob(repo, treeEntry.id), {});
    }
    if (entry.entry.scope == GitJournalScope::workingTree && !states[side].worktree)
      states[side].worktree = plumbing::writeObject(repo, "tree", "").string();
  }
  result.before = std::move(states[0]);
  if (states.size() == 2) result.after = std::move(states[1]);
  return result;
}

} // namespace

EntryStates readEntry(Store& store, const EntryRef& entry) {
  if (store.repo) {
    try {
      return readEntryInProcess(*store.repo, entry);
    } catch (const arbor::Error& error) {
      throw TavrikError("Cannot read the undo journal's entry " + entry.ref, error.message());
    }
  }
  auto states = readEntryWithGit(store.context, entry);
  for (auto& state : states)
    if (state.worktree)
      while (!state.worktree->empty() && state.worktree->back() == '\n') state.worktree->pop_back();
  EntryStates result{std::move(states[0]), std::nullopt};
  if (states.size() == 2) result.after = std::move(states[1]);
  return result;
}

std::string entryMessage(const GitUndoEntry& entry, bool after) {
  std::string title = entry.title;
  for (auto& c : title)
    if (c == '\n' || c == '\r') c = ' ';
  return title + "\n\n" + kStateKey + (after ? "after" : "before") + "\n" + kScopeKey +
         gitJournalScopeName(entry.scope) + "\n" + kTimeKey +
         std::to_string(entry.time) + "\n" + kBytesKey + std::to_string(entry.bytes) + "\n";
}

std::optional<GitUndoEntry> parseEntryMessage(std::string_view message) {
  GitUndoEntry entry;
  auto lines = split(message, '\n');
  if (lines.empty()) return std::nullopt;
  entry.title = std::string(lines.front());
  bool found = false;
  for (auto line : lines) {
    auto value = [&](const std::string& key) { return line.substr(key.size()); };
    if (line.starts_with(kStateKey)) {
      entry.complete = value(kStateKey) == "after";
      found = true;
    } else if (line.starts_with(kScopeKey)) {
      for (auto scope : {GitJournalScope::refs, GitJournalScope::refsAndIndex, GitJournalScope::workingTree})
        if (value(kScopeKey) == gitJournalScopeName(scope)) entry.scope = scope;
    } else if (line.starts_with(kTimeKey)) {
      auto v = value(kTimeKey);
      std::from_chars(v.data(), v.data() + v.size(), entry.time);
    } else if (line.starts_with(kBytesKey)) {
      auto v = value(kBytesKey);
      std::from_chars(v.data(), v.data() + v.size(), entry.bytes);
    }
  }
  if (!found) return std::nullopt;
  return entry;
}

std::vector<EntryRef> listEntries(Store& store) {
  std::vector<std::array<std::string, 3>> refs; // name, id, message
  bool listed = false;
  if (store.repo) {
    try {
      for (auto& ref : arbor::plumbing::forEachRef(*store.repo, kJournalRefPrefix))
        refs.push_back({std::move(ref.name), ref.id.string(), arbor::plumbing::readCommit(*store.repo, ref.id).message});
      listed = true;
    } catch (const arbor::Error&) {
      refs.clear();
    }
  }
  if (!listed) {
    auto output = runGit(store.context, {"for-each-ref", "--format=%(refname)%00%(objectname)%00%(contents)%00",
                                         std::string(kJournalRefPrefix)});
    auto fields = split(output, '\0');
    for (size_t i = 0; i + 2 < fields.size(); i += 3) {
      auto name = fields[i];
      while (!name.empty() && name.front() == '\n') name.remove_prefix(1);
      refs.push_back({std::string(name), std::string(fields[i + 1]), std::string(fields[i + 2])});
    }
  }
  std::vector<EntryRef> entries;
  for (auto& [name, id, message] : refs) {
    auto entry = parseEntryMessage(message);
    if (!entry) continue;
    entry->number = numberOf(name);
    entry->undone = name.starts_with(std::string(kJournalRefPrefix) + "redo/");
    entries.push_back({std::move(name), std::move(id), *entry});
  }
  std::sort(entries.begin(), entries.end(),
            [](const EntryRef& a, const EntryRef& b) { return a.entry.number < b.entry.number; });
  return entries;
}

void updateRefs(Store& store, const std::string& lines) {
  if (lines.empty()) return;
  if (store.repo) {
    std::vector<arbor::plumbing::RefUpdate> updates;
    for (auto line : split(lines, '\n')) {
      // "update <ref> <new> [<old>]", "create <ref> <new>", "delete <ref> [<old>]"
      const auto fields = split(line, ' ');
      if (fields.size() < 2) continue;
      arbor::plumbing::RefUpdate update{.name = std::string(fields[1])};
      auto id = [&](size_t at) { return fields.size() > at ? arbor::Oid::parse(fields[at]) : std::nullopt; };
      if (fields[0] == "delete") {
        update.oldId = id(2);
      } else {
        update.newId = id(2);
        update.oldId = fields[0] == "create" ? std::optional(arbor::Oid::zero) : id(3);
      }
      updates.push_back(std::move(update));
    }
    try {
      arbor::plumbing::updateRefs(*store.repo, updates);
      return;
    } catch (const arbor::plumbing::LeaseError&) {
      // Nothing moved. git says which ref moved, and moves a symbolic ref's
      // target as it always has.
    }
  }
  runGit(store.context, {"update-ref", "--stdin"}, lines);
}

void writeHead(Store& store, const std::string& head) {
  std::string value = head.starts_with("ref: ") ? head.substr(5) : head;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  const bool symbolic = head.starts_with("ref: ");
  if (store.repo) {
    try {
      if (symbolic) arbor::plumbing::setHeadSymbolic(*store.repo, value);
      else if (auto id = arbor::Oid::parse(value)) arbor::plumbing::setHeadDetached(*store.repo, *id);
      else throw arbor::Error("not an id: " + value);
      return;
    } catch (const arbor::Error&) {
      // git's own message follows.
    }
  }
  if (symbolic) runGit(store.context, {"symbolic-ref", "HEAD", value});
  else runGit(store.context, {"update-ref", "--no-deref", "HEAD", value});
}

std::vector<TreeChange> diffTrees(GitOperationContext& context, const std::string& from, const std::string& to) {
  std::vector<TreeChange> changes;
  if (from == to) return changes;
  auto output = runGit(context, {"diff-tree", "-r", "-z", "--no-renames", "--no-abbrev", from, to});
  auto fields = split(output, '\0');
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    // ":<old mode> <new mode> <old id> <new id> <status>"
    auto parts = split(fields[i].substr(1), ' ');
    if (parts.size() < 5) continue;
    auto side = [](std::string_view mode, std::string_view id) {
      return mode.find_first_not_of('0') == std::string_view::npos ? std::string()
                                                                   : std::string(mode) + " " + std::string(id);
    };
    changes.push_back({std::string(fields[i + 1]), side(parts[0], parts[2]), side(parts[1], parts[3])});
  }
  return changes;
}

void writeBranchConfig(GitOperationContext& context, const std::vector<std::string>& keys,
                       const std::map<std::string, std::string>& current, const std::map<std::string, std::string>& to) {
  auto recordsOf = [](const std::map<std::string, std::string>& settings, const std::string& key) {
    auto it = settings.find(key);
    return it == settings.end() ? std::string() : it->second;
  };
  for (const auto& key : keys) {
    const auto wanted = recordsOf(to, key);
    if (recordsOf(current, key) == wanted) continue;
    if (current.count(key)) runGit(context, {"config", "--local", "--unset-all", key});
    for (auto record : split(wanted, '\0')) {
      auto newline = record.find('\n');
      // A key without a value is git's way of writing true.
      runGit(context, {"config", "--local", "--add", key,
                       newline == std::string_view::npos ? "true" : std::string(record.substr(newline + 1))});
    }
  }
}

void writeProgress(GitOperationContext& context, const std::map<std::string, std::string>& files,
                   const std::map<std::string, std::string>& current) {
  const auto dir = gitDir(context);
  for (const auto& [path, bytes] : current)
    if (!files.count(path)) std::remove((dir + "/" + path).c_str());
  for (const char* folder : kProgressFolders) {
    std::error_code error;
    bool kept = false;
    for (const auto& [path, bytes] : files) kept = kept || path.starts_with(std::string(folder) + "/");
    if (!kept) std::filesystem::remove_all(dir + "/" + folder, error);
  }
  for (const auto& [path, bytes] : files) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(dir + "/" + path).parent_path(), error);
    writeFileAtomically(dir + "/" + path, bytes);
  }
}

} // namespace tavrik::journal
