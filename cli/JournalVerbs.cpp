#include "JournalVerbs.h"

#include "CommandVerbs.h"

#include "tavrik/Json/GitJson.h"

#include <ctime>
#include <memory>

namespace tavrik::cli {

namespace {

struct JournalVerbOptions {
  bool list = false, force = false;
};

void printEntries(const std::vector<GitUndoEntry>& entries, bool asJson, std::ostream& out) {
  if (asJson) return void(out << toJson(entries) << "\n");
  for (const auto& entry : entries) {
    char when[32] = "";
    std::time_t time = entry.time;
    std::tm local{};
    if (localtime_r(&time, &local)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    out << (entry.undone ? "redo " : "undo ") << entry.number << "  " << when << "  " << entry.title
        << (entry.complete ? "" : "  (never finished)") << "\n";
  }
}

VerbRun undoRun(GitUndoDirection direction, std::shared_ptr<JournalVerbOptions> o) {
  return [direction, o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
    if (o->list) return printEntries(runOn(queue, makeOperation<GitUndoListOperation>()), asJson, out);
    auto journal = std::dynamic_pointer_cast<GitUndoJournal>(queue->journal());
    auto entry = runOn(queue, makeOperation<GitUndoOperation>(
                                  {.direction = direction, .force = o->force, .journal = journal}));
    if (asJson) return printEntries({entry}, true, out);
    out << (direction == GitUndoDirection::undo ? "Undid " : "Redid ") << entry.title << "\n";
  };
}

} // namespace

std::vector<VerbSpec> journalVerbs() {
  auto o = std::make_shared<JournalVerbOptions>();
  auto flags = [o](bool withList) {
    return [o, withList](CLI::App& verb) {
      if (withList) verb.add_flag("--list", o->list, "list the entries, newest first, instead");
      verb.add_flag("--force", o->force,
                    "even when something changed since (what is there now is journaled first)");
    };
  };
  return {
      {"undo", "undo the last operation the engine ran on this repository", flags(true),
       [o](const CLI::App&) { return undoRun(GitUndoDirection::undo, o); }},
      {"redo", "redo the operation undone last", flags(false),
       [o](const CLI::App&) { return undoRun(GitUndoDirection::redo, o); }},
  };
}

void printUndoHint(const GitUndoJournal& journal, bool terminal) {
  if (terminal && journal.recordedEntries() > 0) std::fputs("(undo with `tavrik undo`)\n", stderr);
}

} // namespace tavrik::cli
