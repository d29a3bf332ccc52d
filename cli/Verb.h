// How `tavrik` runs the verb on its command line. Every verb is a row of one
// table (`VerbSpec`: its name, help, options and action); main adds the rows
// to CLI11, keeps the work of the parsed one as the `VerbAction`, and runs it
// on the repository's queue, or on a queue without a repository for the
// verbs that need none (clone, init, tools).
#pragma once

#include "ProgressBar.h"

#include "tavrik/Queue/GitQueue.h"

#include <CLI/CLI.hpp>

#include <concepts>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace tavrik::cli {

/// The work of a verb: called with the queue, whether JSON was asked for, the
/// output stream and the progress bar (rows printed as they arrive go out
/// with its line cleared). A body that draws no rows may leave the bar out.
class VerbRun {
public:
  using Body = std::function<void(const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out,
                                  ProgressBar& progress)>;
  VerbRun() = default;
  template <class F>
    requires std::invocable<F&, const std::shared_ptr<GitQueue>&, bool, std::ostream&, ProgressBar&>
  VerbRun(F body) : body_(std::move(body)) {}
  template <class F>
    requires std::invocable<F&, const std::shared_ptr<GitQueue>&, bool, std::ostream&>
  VerbRun(F body)
      : body_([body = std::move(body)](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out,
                                       ProgressBar&) mutable { body(queue, json, out); }) {}

  void operator()(const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out, ProgressBar& progress) const {
    body_(queue, json, out, progress);
  }
  explicit operator bool() const { return bool(body_); }

private:
  Body body_;
};

/// One row of the verb table that main builds the command line from. Each
/// family of verbs (one file each) returns its rows; main adds them to CLI11
/// in table order, which is the order `--help` lists them, and runs the one
/// that was parsed. A verb nested in another ("branch create") comes after
/// its parent's row.
struct VerbSpec {
  /// The words that name the verb: "status", or "stash list".
  std::string name;
  std::string help;
  /// Adds the verb's flags and arguments to its subcommand, bound into the
  /// options record its `action` reads. May be empty.
  std::function<void(CLI::App& verb)> addOptions;
  /// Called once the command line is parsed, when this verb is the last one
  /// given (a nested verb given after it wins): checks the parsed options
  /// together, throwing CLI::ValidationError, and returns the verb's work.
  /// Empty for a verb that only groups others (`stash`), which then needs one.
  std::function<VerbRun(const CLI::App& verb)> action;
  /// False for the verbs that make a repository or need none: their queue
  /// has no repository.
  bool needsRepository = true;
  /// False for the verbs that take no --json and --verbose of their own.
  bool commonFlags = true;
  /// False for the verbs that run git only. The others get the object
  /// database set up on the main thread before any work starts: set up on a
  /// worker beside other work (a refs refresh), it corrupted the heap now
  /// and then.
  bool readsObjects = true;
};

/// The row of a verb that only groups others, as `stash` does.
inline VerbSpec verbGroup(std::string name, std::string help) {
  return {std::move(name), std::move(help), nullptr, nullptr};
}

/// The work of the parsed verb, and whether it runs on a repository's queue.
struct VerbAction {
  VerbRun run;
  bool needsRepository = true;
  bool readsObjects = true;
};

} // namespace tavrik::cli
