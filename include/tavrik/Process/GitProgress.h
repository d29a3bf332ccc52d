// Turns the phase lines that git writes on standard error during a transfer
// ("Receiving objects:  50% (1/2)") into one overall percentage. The runner
// owns one per run and feeds it from the standard-error drain.
#pragma once

#include "tavrik/Process/GitBuffer.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

class GitProgress {
public:
  /// A status line and the overall percent after it was applied.
  struct Update {
    std::string line;
    int percent = 0;
    bool operator==(const Update&) const = default;
  };

  /// `phases` are the line prefixes of a transfer's phases, in order.
  explicit GitProgress(std::vector<std::string> phases = {});

  const std::vector<std::string>& phases() const { return phases_; }
  /// One fraction (0.0 to 1.0 for well-formed lines) per phase.
  const std::vector<double>& partialProgress() const { return partialProgress_; }
  /// Sets every phase back to 0.0.
  void reset();

  /// Applies one decoded line: a line starting with a phase's prefix and
  /// carrying a percentage before a further text marks the earlier phases
  /// complete and that phase at the percentage. Returns the overall percent.
  int consume(std::string_view line);

  /// The overall percent: sum of the fractions × 25, halves away from zero.
  int percent() const;

  /// Takes exactly one CR- or LF-delimited segment from the unread part of
  /// `buffer` and applies it. nullopt when nothing is unread or the segment
  /// is not valid UTF-8 (the offset has moved past it then).
  std::optional<Update> consumeNextLine(GitBuffer& buffer);

  /// The integer before the first "%" of the text after a phase prefix, when
  /// there is also text after that "%". Exposed for tests and fuzzing.
  static std::optional<long long> percentField(std::string_view rest);

private:
  std::vector<std::string> phases_;
  std::vector<double> partialProgress_;
};

} // namespace tavrik
