#include "tavrik/Process/GitProgress.h"

#include <charconv>
#include <climits>
#include <cmath>

namespace tavrik {
namespace {

// Each phase counts a quarter, whatever the number of phases: both transfer
// phase lists have four entries.
constexpr double kPhaseWeight = 0.25;

std::string_view trimSpacesAndTabs(std::string_view text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

// A decimal integer with an optional sign and nothing else; nullopt on
// overflow or stray characters.
std::optional<long long> parseInteger(std::string_view text) {
  bool hadPlus = !text.empty() && text.front() == '+';
  if (hadPlus) text.remove_prefix(1);
  if (text.empty() || (hadPlus && text.front() == '-')) return std::nullopt;
  long long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

} // namespace

GitProgress::GitProgress(std::vector<std::string> phases)
    : phases_(std::move(phases)), partialProgress_(phases_.size(), 0.0) {}

void GitProgress::reset() { partialProgress_.assign(phases_.size(), 0.0); }

std::optional<long long> GitProgress::percentField(std::string_view rest) {
  // Split at the first "%" into non-empty parts, empty pieces not counting:
  // leading "%"s are skipped, and nothing after the "%" means one part only.
  size_t start = rest.find_first_not_of('%');
  if (start == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(start);
  size_t percentSign = rest.find('%');
  if (percentSign == std::string_view::npos) return std::nullopt;
  std::string_view first = rest.substr(0, percentSign);
  std::string_view second = rest.substr(percentSign + 1);
  if (second.empty()) return std::nullopt;
  return parseInteger(trimSpacesAndTabs(first));
}

int GitProgress::consume(std::string_view line) {
  for (size_t i = 0; i < phases_.size(); ++i) {
    const std::string& prefix = phases_[i];
    if (line.substr(0, prefix.size()) != prefix) continue;
    auto value = percentField(line.substr(prefix.size()));
    if (!value) continue;
    for (size_t j = 0; j < i; ++j) partialProgress_[j] = 1.0;
    partialProgress_[i] = static_cast<double>(*value) / 100.0;
  }
  return percent();
}

int GitProgress::percent() const {
  double sum = 0;
  for (double p : partialProgress_) sum += p;
  double overall = std::round(sum * 100.0 * kPhaseWeight);
  // Absurd numbers in a line must not overflow the conversion.
  if (!(overall > INT_MIN)) return INT_MIN;
  if (!(overall < INT_MAX)) return INT_MAX;
  return static_cast<int>(overall);
}

std::optional<GitProgress::Update> GitProgress::consumeNextLine(GitBuffer& buffer) {
  auto segment = buffer.scanToAny(GitBuffer::kEOL);
  if (!segment || !isValidUTF8(*segment)) return std::nullopt;
  std::string line(*segment);
  int overall = consume(line);
  return Update{std::move(line), overall};
}

} // namespace tavrik
