#include "HistoryVerbs.h"

#include "CommandVerbs.h"
#include "GraphRenderer.h"
#include "tavrik/Json/GitJson.h"
#include "TextOutput.h"

#include "tavrik/History/GitLogWalker.h"
#include "tavrik/History/GitLogWalkerOperation.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/State/GitRefShortName.h"
#include "tavrik/State/GitViewReflogOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"
#include "tavrik/State/GitViewStashesOperation.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <chrono>
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
    progress_.withLineCleared([&] {
      for (const auto& entry : entries) {
        if (reached()) break;
        style_.json ? array_.append(toJson(entry)) : printText(entry);
        ++printed_;
      }
      out_.flush();
    });
    if (reached()) walker.invalidate();
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

  void printText(const GitLogEntry& entry) {
    if (!refsRead_) refsRead_ = refs_.wait();
    const auto text = logRowText(entry, *refsRead_, now_, style_.colored);
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
  bool stash = false;
  std::optional<std::string> reflog;
  std::optional<std::string> search;
  std::string in = "message";
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

std::vector<VerbSpec> historyVerbs() {
  auto o = std::make_shared<LogOptions>();
  return {
      {"log", "the history of references (default: HEAD's branch and its upstream), a reflog or the stashes",
       [o](CLI::App& verb) {
         verb.add_option("refs", o->refs, "branches, remote branches or tags, full or short names");
         verb.add_option("-n,--max-count", o->limit, "at most N rows")->check(CLI::NonNegativeNumber);
         verb.add_flag("--graph", o->graph, "draw the lanes of the history on the left");
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
         return [o, isReflog](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out,
                              ProgressBar& progress) {
           GitLogDescriptor descriptor;
           // Text rows show the names pointing at them, and the names given on
           // the command line are looked up among them; JSON rows of the
           // default history need none, so the first page waits for no refs.
           const bool namesGiven = !o->refs.empty() || isReflog;
           using Refs = SharedValue<GitRefList>;
           pledge::Future<Refs> refsRead =
               asJson && !namesGiven ? pledge::Future<Refs>::resolved(Refs(GitRefList{}))
                                     : makeOperation<GitViewRefsOperation>()->enqueue(queue).map(
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
           RowPrinter::Style style{asJson, o->graph, !asJson && stdoutIsTerminal(), asJson && stdoutIsTerminal()};
           auto printer = std::make_shared<RowPrinter>(out, progress, style, refsRead, o->limit);
           walk(queue, descriptor, printer, progress, o->limit);
         };
       }},
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
