#include "JournalState.h"

#include "Process/GitStep.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/TavrikError.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

std::string indexText(const std::map<std::string, std::string>& index) {
  std::string text;
  for (const auto& [path, records] : index) text += records;
  return text;
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
void readIndex(GitOperationContext& context, State& state) {
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
    if (!letters.empty()) state.indexFlags[path] = letters;
    // An entry added with intent to add shows the empty blob at stage 0:
    // only those need the closer look.
    const auto fields = split(record.substr(0, tab - 2), ' ');
    if (fields.size() == 3 && fields[2] == "0" &&
        (fields[1] == "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391" ||
         fields[1] == "473a0f4c3be8a93681a267e3b1e9a7dcda1185436fe141f7749120a303721813"))
      maybeIntents.insert(path);
    state.index[std::move(path)] += std::string(record) + '\0';
  }
  if (!maybeIntents.empty()) markIntents(context, maybeIntents, state.indexFlags);
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

// The branch settings of the configuration file at `path`, read by git once
// per version of the file: git replaces the file whenever it writes it, so
// its inode, size and times tell a version, and an entry's "before" and
// "after" (and the next entry's) mostly share one read.
std::map<std::string, std::string> branchSettings(GitOperationContext& context, const std::string& path) {
  struct Version {
    unsigned long long inode = 0;
    long long size = -1, modified = 0, changed = 0;
    bool operator==(const Version&) const = default;
  };
  struct Cached {
    Version version;
    std::map<std::string, std::string> settings;
  };
  static std::mutex lock; // guards cache
  static auto* cache = new std::map<std::string, Cached>();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return parseBranchConfig(runGit(context, {"config", "--local", "-z", "--list"}));
  const Version version{info.st_ino, info.st_size, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec,
                        info.st_ctim.tv_sec * 1000000000LL + info.st_ctim.tv_nsec};
  {
    std::lock_guard guard(lock);
    auto it = cache->find(path);
    if (it != cache->end() && it->second.version == version) return it->second.settings;
  }
  auto settings = parseBranchConfig(runGit(context, {"config", "--local", "-z", "--list"}));
  std::lock_guard guard(lock);
  (*cache)[path] = {version, settings};
  return settings;
}

} // namespace

State readState(GitOperationContext& context, GitJournalScope scope, std::vector<std::string>* journalRefs) {
  const auto& descriptor = context.requireDescriptor();
  State state;
  state.head = readFileIfExists(descriptor.gitURL.path() + "/HEAD").value_or("");
  state.stashLog = readFileIfExists(descriptor.commonURL.path() + "/logs/refs/stash");
  for (auto& [name, id] : parsePairs(runGit(context, {"for-each-ref", "--format=%(objectname) %(refname)"}), '\n')) {
    if (name.starts_with(kJournalRefPrefix)) {
      if (journalRefs) journalRefs->push_back(name);
    } else {
      state.refs[name] = id;
    }
  }
  // Only what the scope's operations change: a branch command leaves the
  // index alone, and only branch commands and checkouts write branch.*.
  if (scope != GitJournalScope::refs) readIndex(context, state);
  if (scope != GitJournalScope::refsAndIndex)
    state.branchConfig = branchSettings(context, descriptor.commonURL.path() + "/config");
  state.progress = readProgress(descriptor.gitURL.path());
  if (scope == GitJournalScope::workingTree) state.worktree = snapshotWorktree(context, state.indexFlags);
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

void writeState(GitOperationContext& context, const std::string& ref, const State& state, const std::string& message,
                const std::optional<std::string>& parentRef) {
  std::string stream = "commit " + ref + "\ncommitter Tavrik <tavrik@localhost> " +
                       std::to_string(std::time(nullptr)) + " +0000\ndata " + std::to_string(message.size()) + "\n" +
                       message + "\n";
  if (parentRef) stream += "from " + *parentRef + "^0\ndeleteall\n";
  addBlob(stream, "head", state.head);
  addBlob(stream, "refs", pairsText(state.refs, '\n'));
  addBlob(stream, "index", indexText(state.index));
  if (!state.indexFlags.empty()) addBlob(stream, "index-flags", pairsText(state.indexFlags, '\0'));
  if (state.stashLog) addBlob(stream, "stash-log", *state.stashLog);
  if (!state.progress.empty()) addBlob(stream, "progress", progressText(state.progress));
  if (!state.branchConfig.empty()) addBlob(stream, "branch-config", indexText(state.branchConfig));
  if (state.worktree) stream += "M 040000 " + *state.worktree + " worktree\n";
  stream += "done\n";
  // Loose objects: a pack per entry would slow every object look-up.
  runGit(context, {"-c", "fastimport.unpackLimit=100000", "fast-import", "--quiet", "--force", "--done"}, stream);
}

namespace {
// The files of an entry's tree, in the order readEntry's switch reads them;
// entries written before a file existed simply lack it.
const char* const kEntryFiles[] = {"head",     "refs",          "index",      "stash-log",
                                   "worktree", "progress",      "branch-config", "index-flags"};
} // namespace

EntryStates readEntry(GitOperationContext& context, const EntryRef& entry) {
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
    auto& state = states[i / std::size(kEntryFiles)];
    switch (i % std::size(kEntryFiles)) {
    case 0: state.head = std::string(content); break;
    case 1: state.refs = parsePairs(content, '\n'); break;
    case 2: state.index = parseIndex(content); break;
    case 3: state.stashLog = std::string(content); break;
    case 4: state.worktree = std::string(header[0]); break;
    case 5: state.progress = parseProgress(content); break;
    case 6: state.branchConfig = parseBranchConfig(content); break;
    case 7: state.indexFlags = parsePairs(content, '\0'); break;
    }
  }
  // An empty working tree leaves no "worktree" folder behind.
  for (auto& state : states)
    if (entry.entry.scope == GitJournalScope::workingTree && !state.worktree)
      state.worktree = runGit(context, {"mktree"}, "");
  for (auto& state : states)
    if (state.worktree)
      while (!state.worktree->empty() && state.worktree->back() == '\n') state.worktree->pop_back();
  EntryStates result{std::move(states[0]), std::nullopt};
  if (complete) result.after = std::move(states[1]);
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

std::vector<EntryRef> listEntries(GitOperationContext& context) {
  auto output =
      runGit(context, {"for-each-ref", "--format=%(refname)%00%(objectname)%00%(contents)%00",
                       std::string(kJournalRefPrefix)});
  auto fields = split(output, '\0');
  std::vector<EntryRef> entries;
  for (size_t i = 0; i + 2 < fields.size(); i += 3) {
    auto name = fields[i];
    while (!name.empty() && name.front() == '\n') name.remove_prefix(1);
    auto entry = parseEntryMessage(fields[i + 2]);
    if (!entry) continue;
    entry->number = numberOf(name);
    entry->undone = name.starts_with(std::string(kJournalRefPrefix) + "redo/");
    entries.push_back({std::string(name), std::string(fields[i + 1]), *entry});
  }
  std::sort(entries.begin(), entries.end(),
            [](const EntryRef& a, const EntryRef& b) { return a.entry.number < b.entry.number; });
  return entries;
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
