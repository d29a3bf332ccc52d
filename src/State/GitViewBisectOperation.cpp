#include "tavrik/State/GitViewBisectOperation.h"

#include "Process/GitStep.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/TavrikError.h"

#include <charconv>

namespace tavrik {

namespace {

std::string runRead(GitOperationContext& context, std::vector<std::string> args) {
  return detail::runGitStep(context, {.arguments = std::move(args)});
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// A pseudo-ref file holding a plain commit id (a detached HEAD, BISECT_HEAD);
// anything else is left to git.
std::optional<Oid> plainId(const std::string& path) {
  auto text = readFileIfExists(path);
  if (!text || text->size() != 41 || text->back() != '\n') return std::nullopt;
  return Oid::parse(std::string_view(*text).substr(0, 40));
}

} // namespace

std::pair<std::string, std::string> GitViewBisectOperation::parseTerms(std::string_view text) {
  auto terms = lines(text);
  if (terms.size() < 2 || terms[0].empty() || terms[1].empty()) return {"bad", "good"};
  return {std::string(terms[0]), std::string(terms[1])};
}

std::vector<std::string> GitViewBisectOperation::parseNames(std::string_view text) {
  std::vector<std::string> names;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '\'') {
      ++i;
      continue;
    }
    // One quoted word: runs of '...' joined by \x, git's escape of ' and !.
    std::string name;
    while (i < text.size() && text[i] == '\'') {
      const size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) return names;
      name.append(text.substr(i + 1, close - i - 1));
      i = close + 1;
      if (i + 2 < text.size() && text[i] == '\\' && text[i + 2] == '\'') {
        name.push_back(text[i + 1]);
        i += 2;
      }
    }
    names.push_back(std::move(name));
  }
  // git keeps the "--" that ended the revisions.
  if (!names.empty() && names.front() == "--") names.erase(names.begin());
  return names;
}

std::optional<Oid> GitViewBisectOperation::parseFirstBad(std::string_view log, std::string_view termNew) {
  const std::string prefix = "# first " + std::string(termNew) + " commit: [";
  for (auto line : lines(log))
    if (line.starts_with(prefix)) return Oid::parse(line.substr(prefix.size(), 40));
  return std::nullopt;
}

std::optional<std::pair<int64_t, int64_t>> GitViewBisectOperation::parseBisectVars(std::string_view text) {
  std::optional<int64_t> left, steps;
  for (auto line : lines(text)) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const auto key = line.substr(0, equals), value = line.substr(equals + 1);
    int64_t number = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec != std::errc() || end != value.data() + value.size()) continue;
    if (key == "bisect_good") left = number;
    if (key == "bisect_steps") steps = number;
  }
  if (!left || !steps) return std::nullopt;
  return std::pair{*left, *steps};
}

std::optional<GitBisectState> GitViewBisectOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor) throw TavrikError::invalidRepository();
  const std::string gitDir = descriptor->gitURL.path() + "/";
  if (!readFileIfExists(gitDir + "BISECT_START")) return std::nullopt;

  GitBisectState state;
  std::tie(state.termNew, state.termOld) = parseTerms(readFileIfExists(gitDir + "BISECT_TERMS").value_or(""));
  state.paths = parseNames(readFileIfExists(gitDir + "BISECT_NAMES").value_or(""));

  const std::string badRef = "refs/bisect/" + state.termNew, goodPrefix = "refs/bisect/" + state.termOld + "-";
  const std::string refs = runRead(context, {"for-each-ref", "--format=%(objectname) %(refname)", "refs/bisect/"});
  for (auto line : lines(refs)) {
    auto id = Oid::parse(line.substr(0, 40));
    const auto name = line.size() > 41 ? line.substr(41) : std::string_view();
    if (!id) continue;
    if (name == badRef) state.bad = id;
    else if (name.starts_with(goodPrefix)) state.good.push_back(*id);
    else if (name.starts_with("refs/bisect/skip-")) state.skipped.push_back(*id);
  }

  const bool noCheckout = readFileIfExists(gitDir + "BISECT_HEAD").has_value();
  const std::string candidateRef = noCheckout ? "BISECT_HEAD" : "HEAD";
  state.candidate = plainId(gitDir + candidateRef);
  if (!state.candidate)
    state.candidate = Oid::parse(runRead(context, {"rev-parse", "-q", "--verify", candidateRef + "^{commit}"}).substr(0, 40));

  state.firstBad = parseFirstBad(readFileIfExists(gitDir + "BISECT_LOG").value_or(""), state.termNew);
  if (!state.bad || state.good.empty() || state.firstBad) return state;
  // git checks that the good revisions are ancestors of the bad one before
  // its first count, and notes it in BISECT_ANCESTORS_OK; until then the
  // candidate is a merge base.
  if (!readFileIfExists(gitDir + "BISECT_ANCESTORS_OK")) {
    state.testsMergeBase = true;
    return state;
  }
  // As git's next step: with skipped commits git ranks every candidate
  // (--bisect-all), otherwise it takes the first halfway one, and the
  // count it prints follows from that choice.
  std::vector<std::string> args{"rev-list", "--bisect-vars"};
  if (!state.skipped.empty()) args.push_back("--bisect-all");
  if (readFileIfExists(gitDir + "BISECT_FIRST_PARENT")) args.push_back("--first-parent");
  args.push_back(state.bad->string());
  for (const auto& id : state.good) args.push_back("^" + id.string());
  args.push_back("--");
  args.insert(args.end(), state.paths.begin(), state.paths.end());
  const std::string vars = runRead(context, args);
  const size_t separator = vars.rfind("------\n");
  if (auto counts = parseBisectVars(separator == std::string::npos ? vars : vars.substr(separator))) {
    state.revisionsLeft = counts->first;
    state.steps = counts->second;
  }
  return state;
}

} // namespace tavrik
