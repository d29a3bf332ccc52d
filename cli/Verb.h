// How `tavrik` runs the verb on its command line. Every verb registers with
// CLI11 through `addVerbs` (its name, help and options); the callback of the
// parsed one stores its work in the one `VerbAction`, and main runs that
// action on the repository's queue, or on a queue without a repository for
// the verbs that need none (clone, init, tools).
#pragma once

#include "ProgressBar.h"

#include "tavrik/Queue/GitQueue.h"

#include <CLI/CLI.hpp>

#include <concepts>
#include <functional>
#include <memory>
#include <ostream>

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

/// What the parsed verb does once the queue exists.
struct VerbAction {
  VerbAction() = default;
  template <class F>
    requires std::constructible_from<VerbRun, F> && (!std::same_as<std::remove_cvref_t<F>, VerbAction>)
  VerbAction(F body) : run(std::move(body)) {}

  VerbRun run;
  /// False for the verbs that make a repository or need none: their queue
  /// has no repository.
  bool needsRepository = true;
  explicit operator bool() const { return bool(run); }
};

/// Gives a verb the flags every verb takes (--json, --verbose).
using AddCommon = std::function<CLI::App*(CLI::App*)>;

} // namespace tavrik::cli
