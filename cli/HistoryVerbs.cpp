#include "HistoryVerbs.h"

#include "CommandVerbs.h"
#include "GraphRenderer.h"
#include "tavrik/Json/GitJson.h"
#include "TextOutput.h"

#include "tavrik/History/GitBlameOperation.h"
#include "tavrik/History/GitFileHistoryOperation.h"
#include "tavrik/History/GitSignature.h"
#include "tavrik/Commands/GitExecRevParseCommitOperation.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/History/GitLogWalker.h"
#include "tavrik/History/GitLogWalkerOperation.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/State/GitRefNamesOperation.h"
#include "tavrik/State/GitRefShortName.h"
#include "tavrik/State/GitViewReflogOperation.h"
#include "tavrik/State/GitViewStashesOperation.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <unistd.h>

namespace tavrik::cli {
namespace {

// Rows per page: the first screenful arrives at once, and a long history
// costs few runs.
constexpr size_t kPageSize = 500;

bool stdoutIsTerminal() {
  static const bool terminal = isatty(STDOUT_FILENO) != 0;
  return terminal;
}

std::string dumped(const std::string& compact, bool indented) { return indented ? indentedJson(compact) : compact; }

// Prints the rows a walker appends, in order, as text or as the elements of
// one JSON array; stops the walk once `limit` rows are out. Called on the
// queue's thread while the verb waits for the page.
class RowPrinter : public GitLogWalkerDelegate {
public:
  struct Style {
    bool json = false;
    bool graph = false;
    bool colored = false;
    bool indented = false;
    /// Each row with its signature status: rows wait for their page to be
    /// verified (`printHeld`) and get a column of git's "%G?" letters.
    bool signatures = false;
  };

  /// `refs` settles with the names the text rows show; it is read side by
  /// side with the first page and waited for only when a row is printed.
  RowPrinter(std::ostream& out, ProgressBar& progress, Style style, pledge::Future<SharedValue<GitRefList>> refs,
             std::optional<size_t> limit)
      : out_(out), progress_(progress), style_(style), refs_(std::move(refs)), limit_(limit),
        now_(std::chrono::system_clock::now()), array_(out, style.indented) {}

  void logWalkerDidAppendEntries(GitLogWalker& walker, const std::vector<GitLogEntry>& entries,
                                 std::pair<size_t, size_t>) override {
    std::lock_guard lock(mutex_);
    if (style_.signatures) {
      held_.insert(held_.end(), entries.begin(), entries.end());
      return;
    }
    printRows(entries, {});
    if (reached()) walker.invalidate();
  }

  /// Verifies the rows held since the last call and prints them; called on
  /// the walking thread between pages (verifying inside the page run would
  /// wait on the queue that runs it).
  void printHeld(const std::shared_ptr<GitQueue>& queue) {
    std::vector<GitLogEntry> rows;
    {
      std::lock_guard lock(mutex_);
      rows.swap(held_);
    }
    if (rows.empty()) return;
    std::vector<Oid> ids;
    for (const auto& row : rows) ids.push_back(row.id);
    auto statuses = runOn(queue, makeOperation<GitVerifyCommitsOperation>(ids, signatureCache_));
    std::lock_guard lock(mutex_);
    printRows(rows, statuses);
  }

  /// Closes the JSON array.
  void end() {
    std::lock_guard lock(mutex_);
    if (!style_.json) return;
    progress_.withLineCleared([&] {
      array_.finish();
      out_.flush();
    });
  }
  size_t printed() const {
    std::lock_guard lock(mutex_);
    return printed_;
  }

private:
  bool reached() const { return limit_ && printed_ >= *limit_; }

  // `statuses` is empty, or one per row.
  void printRows(const std::vector<GitLogEntry>& rows, const std::vector<GitSignatureStatus>& statuses) {
    progress_.withLineCleared([&] {
      for (size_t i = 0; i < rows.size() && !reached(); ++i) {
        const GitSignatureStatus* status = statuses.empty() ? nullptr : &statuses[i];
        if (style_.json) array_.append(status ? toJson(rows[i], *status) : toJson(rows[i]));
        else printText(rows[i], status);
        ++printed_;
      }
      out_.flush();
    });
  }

  void printText(const GitLogEntry& entry, const GitSignatureStatus* signature) {
    if (!refsRead_) refsRead_ = refs_.wait();
    auto text = logRowText(entry, *refsRead_, now_, style_.colored);
    if (signature) text = std::string(1, gitSignatureLetter(signature->verdict)) + " " + text;
    if (!style_.graph || !entry.graphLaneRow) {
      out_ << text << "\n";
      return;
    }
    const auto lines = renderGraphRow(*entry.graphLaneRow, style_.colored);
    out_ << lines.front() << " " << text << "\n";
    for (size_t i = 1; i < lines.size(); ++i) out_ << lines[i] << "\n";
  }

  std::ostream& out_;
  ProgressBar& progress_;
  const Style style_;
  const pledge::Future<SharedValue<GitRefList>> refs_;
  SharedValue<GitRefList> refsRead_; // guarded by mutex_
  const std::optional<size_t> limit_;
  const Date now_;
  mutable std::mutex mutex_; // guards printed_, array_ and the writing to out_
  size_t printed_ = 0;
  std::vector<GitLogEntry> held_; // guarded by mutex_
  const std::shared_ptr<GitSignatureCache> signatureCache_ = std::make_shared<GitSignatureCache>();
  // On a terminal each write ends its line, or the progress line drawn after
  // it would wipe the line out.
  GitJsonArrayWriter array_;
};

// Pages the walk until it ends or has `limit` rows. A plain walk
// has no task of its own; the rows so far stand in for one once a second
// page is needed.
void walk(const std::shared_ptr<GitQueue>& queue, const GitLogDescriptor& descriptor,
          const std::shared_ptr<RowPrinter>& printer, ProgressBar& progress, std::optional<size_t> limit) {
  auto walker = GitLogWalker::make(descriptor);
  walker->setDelegate(printer);
  std::shared_ptr<GitTask> status;
  while (!walker->invalidated()) {
    const size_t walked = walker->entryCount();
    if (limit && walked >= *limit) break;
    const size_t left = limit ? *limit - walked : kPageSize;
    runOn(queue, makeOperation<GitLogWalkerOperation>(walker, std::min(left, kPageSize)));
    printer->printHeld(queue);
    if (descriptor.hasQuery() || walker->invalidated()) continue;
    if (!status) {
      status = GitTask::create("Reading history", {});
      status->setDelegate(progress.shared_from_this());
    }
    status->setString(std::to_string(printer->printed()) + " rows");
  }
  printer->end();
}

void printJson(std::ostream& out, const std::string& value) { out << dumped(value, stdoutIsTerminal()) << "\n"; }

struct LogOptions {
  std::vector<std::string> refs;
  std::optional<size_t> limit;
  bool graph = false;
  bool signatures = false;
  bool stash = false;
  std::optional<std::string> reflog;
  std::optional<std::string> search;
  std::string in = "message";
  std::optional<std::string> follow;
  std::string verifyName;
};

// A file's history page by page from one git child (50 rows first, so they
// show at once), each row printed as it arrives: short id, change letter,
// path (old -> new for a rename or copy) and subject, or the JSON array of
// rows.
void followFile(const std::shared_ptr<GitQueue>& queue, const std::string& path, std::optional<size_t> limit,
                bool asJson, std::ostream& out) {
  static const char kLetters[] = {'A', 'D', 'M', 'R', 'C'};
  GitJsonArrayWriter array(out, asJson && stdoutIsTerminal());
  auto walker = std::make_shared<GitFileHistoryWalker>(path);
  size_t done = 0;
  for (size_t page = 50; !limit || done < *limit; page = 500) {
    const size_t want = limit ? std::min(page, *limit - done) : page;
    auto rows = runOn(queue, makeOperation<GitFileHistoryPageOperation>(walker, want));
    for (const auto& row : rows) {
      if (asJson) {
        array.append(toJson(row));
        continue;
      }
      out << row.entry.id.string().substr(0, 7) << ' ' << kLetters[static_cast<size_t>(row.change)] << ' '
          << (row.oldPath ? *row.oldPath + " -> " : "") << row.path << "  " << gitSubject(row.entry.message) << '\n';
    }
    out.flush();
    done += rows.size();
    if (rows.size() < want) break;
  }
  if (asJson) array.finish();
}

struct BlameOptions {
  std::string path;
  std::optional<std::string> rev;
  bool whitespace = false;
  bool moves = false;
  int copies = 0;
  std::optional<std::string> lines;
};

// "A,B", 1-based and inclusive, as git's -L takes it.
GitBlameLineRange parseLineRange(const std::string& text) {
  GitBlameLineRange range;
  char comma = 0, rest = 0;
  if (std::sscanf(text.c_str(), "%zu%c%zu%c", &range.first, &comma, &range.last, &rest) != 3 || comma != ',' ||
      range.first == 0 || range.last < range.first)
    throw CLI::ValidationError("-L", "give the lines as A,B with 1 <= A <= B");
  return range;
}

// One blamed line as git blame prints it: the commit's short id ("^" marks
// a boundary), its author, the author's date in the author's zone, the line
// number and the line's bytes.
std::string blameLineText(const GitBlameRange& range, size_t line, std::string_view content, bool withPath) {
  const GitBlameCommit& commit = *range.commit;
  const std::string id = commit.boundary ? "^" + commit.id.string().substr(0, 7) : commit.id.string().substr(0, 8);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(commit.author.date.time_since_epoch()).count();
  const time_t local = static_cast<time_t>(seconds + commit.author.offsetMinutes * 60);
  std::tm tm{};
  gmtime_r(&local, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
  const int offset = std::abs(commit.author.offsetMinutes);
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d%02d", commit.author.offsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return id + (withPath ? " " + range.originalPath : "") + " (" + commit.author.name + " " + date + " " + zone + " " + std::to_string(line) + ") " +
         std::string(content) + "\n";
}

// Prints blamed lines in file order. On a terminal each line goes out as
// soon as every line before it is blamed, so the screen fills from the top
// while git still works, naming the original path where it differs; else
// the lines go out at the end, with git's path column when any line came
// from another path.
class BlamePrinter {
public:
  BlamePrinter(std::ostream& out, ProgressBar& progress, std::string content, size_t firstLine, std::string path,
               bool progressive)
      : out_(out), progress_(progress), next_(firstLine), path_(std::move(path)), progressive_(progressive) {
    size_t from = 0;
    while (from < content.size()) {
      size_t lf = content.find('\n', from);
      if (lf == std::string::npos) lf = content.size();
      lines_.push_back(content.substr(from, lf - from));
      from = lf + 1;
    }
  }

  void add(const std::vector<GitBlameRange>& ranges) {
    for (const auto& range : ranges) {
      byLine_.emplace(range.finalLine, range);
      otherPaths_ = otherPaths_ || range.originalPath != path_;
    }
    if (progressive_) print(false);
  }
  void finish() {
    if (!progressive_) print(otherPaths_);
  }

private:
  void print(bool pathColumn) {
    progress_.withLineCleared([&] {
      for (auto found = byLine_.find(next_); found != byLine_.end(); found = byLine_.find(next_)) {
        const bool withPath = pathColumn || found->second.originalPath != path_;
        for (size_t i = 0; i < found->second.lineCount; ++i, ++next_)
          out_ << blameLineText(found->second, next_, next_ <= lines_.size() ? lines_[next_ - 1] : "", withPath);
        byLine_.erase(found);
      }
      out_.flush();
    });
  }

  std::ostream& out_;
  ProgressBar& progress_;
  std::vector<std::string> lines_;
  std::map<size_t, GitBlameRange> byLine_;
  size_t next_;
  const std::string path_;
  const bool progressive_;
  bool otherPaths_ = false;
};

} // namespace

GitQuerySubject querySubjects(const std::string& list) {
  static const std::pair<std::string_view, GitQuerySubject> kNames[] = {
      {"message", GitQuerySubject::message},   {"diff", GitQuerySubject::diff},
      {"hash", GitQuerySubject::hash},         {"filename", GitQuerySubject::filename},
      {"author", GitQuerySubject::author},     {"committer", GitQuerySubject::committer}};
  GitQuerySubject subject;
  std::string_view rest = list;
  while (true) {
    const auto comma = rest.find(',');
    const auto name = rest.substr(0, comma);
    auto found = std::find_if(std::begin(kNames), std::end(kNames), [&](const auto& n) { return n.first == name; });
    if (found == std::end(kNames))
      throw TavrikError("Unknown search field \"" + std::string(name) + "\"",
                        "Search in message, diff, hash, filename, author or committer.");
    subject = subject | found->second;
    if (comma == std::string_view::npos) return subject;
    rest = rest.substr(comma + 1);
  }
}

// "G good signature by NAME with key KEY", and so on for each verdict.
void printSignature(const GitSignatureStatus& status, std::ostream& out) {
  static constexpr const char* kTexts[] = {"good signature",
                                           "bad signature",
                                           "good signature of unknown validity",
                                           "expired signature",
                                           "signature by an expired key",
                                           "signature by a revoked key",
                                           "signature that cannot be checked",
                                           "no signature"};
  out << gitSignatureLetter(status.verdict) << ' ' << kTexts[static_cast<size_t>(status.verdict)];
  if (!status.signer.empty()) out << " by " << status.signer;
  if (!status.key.empty()) out << " with key " << status.key;
  out << '\n';
}

// A signed tag's signature, else that of the commit NAME names; fails
// unless it is good (of unknown validity included, as git's own check).
void verifyObject(const std::shared_ptr<GitQueue>& queue, const std::string& name, bool asJson, std::ostream& out) {
  std::optional<GitSignatureStatus> status;
  try {
    status = runOn(queue, makeOperation<GitVerifyTagOperation>(name));
  } catch (const GitStdError&) {
  }
  if (!status || status->verdict == GitSignatureVerdict::none) {
    const Oid id = runOn(queue, makeOperation<GitExecRevParseCommitOperation>(name));
    status = runOn(queue, makeOperation<GitVerifyCommitsOperation>(std::vector<Oid>{id})).front();
  }
  asJson ? void(out << toJson(*status) << "\n") : printSignature(*status, out);
  out.flush();
  if (status->verdict != GitSignatureVerdict::good && status->verdict != GitSignatureVerdict::unknownValidity)
    throw TavrikError(name + " has no good signature.");
}

std::vector<VerbSpec> historyVerbs() {
  auto o = std::make_shared<LogOptions>();
  auto b = std::make_shared<BlameOptions>();
  return {
      {"log", "the history of references (default: HEAD's branch and its upstream), a reflog or the stashes",
       [o](CLI::App& verb) {
         verb.add_option("refs", o->refs, "branches, remote branches or tags, full or short names");
         verb.add_option("-n,--max-count", o->limit, "at most N rows")->check(CLI::NonNegativeNumber);
         verb.add_flag("--graph", o->graph, "draw the lanes of the history on the left");
         verb.add_flag("--signatures", o->signatures,
                       "a first column with each commit's signature status, as git's %G? (G, B, U, X, Y, R, E, N)");
         verb.add_option("--follow", o->follow, "the history of the file PATH, following it across renames");
         auto reflog = verb.add_option("--reflog", o->reflog, "the reflog of NAME (default HEAD)")->expected(0, 1);
         verb.add_flag("--stash", o->stash, "the stashes")->excludes(reflog);
         auto search =
             verb.add_option("--search", o->search, "only the commits that hold TEXT, each printed when found");
         verb.add_option("--in", o->in,
                         "where to search: message, diff, hash, filename, author, committer (default message)")
             ->needs(search);
       },
       [o](const CLI::App& verb) -> VerbRun {
         const bool isReflog = verb.get_option("--reflog")->count() > 0;
         if ((isReflog || o->stash) && !o->refs.empty())
           throw CLI::ValidationError("log", "give REF names or --reflog or --stash, not both");
         if (o->follow && (isReflog || o->stash || !o->refs.empty() || o->search || o->graph))
           throw CLI::ValidationError("log", "--follow takes a path alone");
         return [o, isReflog](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out,
                              ProgressBar& progress) {
           if (o->follow) return followFile(queue, *o->follow, o->limit, asJson, out);
           GitLogDescriptor descriptor;
           // Text rows show the names pointing at them, and the names given on
           // the command line are looked up among them; JSON rows of the
           // default history need none, so the first page waits for no refs.
           const bool namesGiven = !o->refs.empty() || isReflog;
           using Refs = SharedValue<GitRefList>;
           // Both need only the names and the commits they lead to, which
           // are read in process: a few milliseconds on a clone with a
           // thousand tags, where the full reader's for-each-ref takes tens.
           pledge::Future<Refs> refsRead =
               asJson && !namesGiven ? pledge::Future<Refs>::resolved(Refs(GitRefList{}))
                                     : makeOperation<GitRefNamesOperation>()->enqueue(queue).map(
                                           [](const GitQueueValue<Refs>& read) { return read.value; });
           GitRefList refs;
           if (namesGiven) refs = *refsRead.wait();
           if (o->stash) {
             descriptor.type = GitLogType::stash;
             // The stash walker reads the view's list.
             runOn(queue, makeOperation<GitViewStashesOperation>());
           } else if (isReflog) {
             descriptor.type = GitLogType::reflog;
             const std::string name = o->reflog.value_or("").empty() ? "HEAD" : *o->reflog;
             TavrikError::refuseOptionLikeName(name);
             // A reflog outlives no reference, but "HEAD" and a name given in
             // full need no lookup.
             try {
               descriptor.reflogName = resolveReference(refs, name).name;
             } catch (const TavrikError&) {
               descriptor.reflogName = name;
             }
           } else {
             for (const auto& name : o->refs) descriptor.refs.push_back(resolveReference(refs, name));
           }
           if (o->search) descriptor.query = GitQuery{*o->search, querySubjects(o->in)};
           RowPrinter::Style style{asJson, o->graph, !asJson && stdoutIsTerminal(), asJson && stdoutIsTerminal(),
                                   o->signatures};
           auto printer = std::make_shared<RowPrinter>(out, progress, style, refsRead, o->limit);
           walk(queue, descriptor, printer, progress, o->limit);
         };
       }},
      {"verify", "the signature of a signed tag, else of the commit NAME names (exit 1 unless it is good)",
       [o](CLI::App& verb) { verb.add_option("name", o->verifyName, "a tag or a commit")->required(); },
       [o](const CLI::App&) -> VerbRun {
         return [o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           verifyObject(queue, o->verifyName, asJson, out);
         };
       },
       true, true, false},
      {"blame", "who last changed each line of a file, like git blame",
       [b](CLI::App& verb) {
         verb.add_option("path", b->path, "the file, relative to the working tree")->required();
         verb.add_option("--rev", b->rev, "blame the file at REV (default: the working tree's file)");
         verb.add_flag("-w", b->whitespace, "ignore changes in whitespace");
         verb.add_flag("--moves", b->moves, "find lines moved within the file (git's -M)");
         verb.add_flag("--copies", b->copies, "find lines copied from other files (git's -C; up to three times)");
         verb.add_option("-L", b->lines, "only lines A to B, given as A,B");
       },
       [b](const CLI::App&) -> VerbRun {
         if (b->copies > 3) throw CLI::ValidationError("--copies", "give --copies at most three times");
         GitBlameOptions options;
         options.revision = b->rev;
         options.whitespace = b->whitespace ? GitBlameWhitespace::ignored : GitBlameWhitespace::significant;
         options.moves = b->moves ? GitBlameMoves::detected : GitBlameMoves::ignored;
         options.copies = static_cast<GitBlameCopies>(b->copies);
         if (b->lines) options.lines = parseLineRange(*b->lines);
         return [b, options](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out,
                             ProgressBar& progress) {
           auto blame = makeOperation<GitBlameOperation>(b->path, options);
           if (asJson) {
             GitJsonArrayWriter array(out, stdoutIsTerminal());
             blame->onRanges = [&](const std::vector<GitBlameRange>& ranges) {
               progress.withLineCleared([&] {
                 for (const auto& range : ranges) array.append(toJson(range));
               });
             };
             runOn(queue, blame);
             array.finish();
             return;
           }
           std::string content;
           try {
             content = runOn(queue, makeOperation<GitFileContentOperation>(b->path, b->rev));
           } catch (...) {
             // git's own refusal (no such path, a directory) says more than a
             // failed read; the read's error stands when git blames the file.
             runOn(queue, blame);
             throw;
           }
           BlamePrinter printer(out, progress, std::move(content), options.lines ? options.lines->first : 1, b->path,
                                stdoutIsTerminal());
           blame->onRanges = [&](const std::vector<GitBlameRange>& ranges) { printer.add(ranges); };
           runOn(queue, blame);
           printer.finish();
         };
       },
       true, true, false},
      {"stash list", "the stashes, like git stash list", nullptr,
       [](const CLI::App&) -> VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           auto stashes = runOn(queue, makeOperation<GitViewStashesOperation>());
           asJson ? printJson(out, toJson(stashes)) : printStashList(out, stashes);
         };
       }},
      {"reflogs", "the names of the reflogs the repository keeps", nullptr,
       [](const CLI::App&) -> VerbRun {
         return [](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           auto reflogs = runOn(queue, makeOperation<GitViewReflogOperation>());
           asJson ? printJson(out, toJson(reflogs)) : printReflogs(out, reflogs);
         };
       }},
  };
}

} // namespace tavrik::cli
