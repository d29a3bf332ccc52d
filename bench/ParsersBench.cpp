// Throughput of the status and reference parsers over output shaped like
// git's (the readers' target is at least 200 MB/s of git output), and of the
// show-head parser for scale.
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitRefParser.h"
#include "tavrik/State/GitShowHeadParser.h"
#include "tavrik/State/GitStatusParser.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>

using namespace tavrik;

namespace {

std::string hexId(std::mt19937_64& rng) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id(40, '0');
  for (auto& c : id) c = kHex[rng() & 15];
  return id;
}

// A mix like a busy working tree: mostly ordinary changes, some renames,
// untracked files and a few conflicts.
std::string statusOutput(size_t records) {
  std::mt19937_64 rng(1);
  std::string out;
  char path[96];
  for (size_t i = 0; i < records; ++i) {
    std::snprintf(path, sizeof path, "pkg%02zu/mod%03zu/file_%05zu.txt", i % 97, i % 331, i);
    switch (i % 20) {
    case 0:
      out += "2 R. N... 100644 100644 100644 " + hexId(rng) + " " + hexId(rng) + " R87 " + path + '\0' + path + ".old" +
             '\0';
      break;
    case 1:
    case 2:
      out += std::string("? ") + path + '\0';
      break;
    case 3:
      out += "u UU N... 100644 100644 100644 100644 " + hexId(rng) + " " + hexId(rng) + " " + hexId(rng) + " " + path +
             '\0';
      break;
    default:
      out += "1 .M N... 100644 100644 100644 " + hexId(rng) + " " + hexId(rng) + " " + path + '\0';
    }
  }
  return out;
}

std::string refsOutput(size_t lines) {
  std::mt19937_64 rng(2);
  std::string out;
  char name[64];
  for (size_t i = 0; i < lines; ++i) {
    std::snprintf(name, sizeof name, "feature/%04zu", i);
    switch (i % 4) {
    case 0:
      out += " \t" + hexId(rng) + "\t\trefs/heads/" + name + "\t\trefs/remotes/origin/" + name + "\torigin\trefs/heads/" +
             name + "\t2024-01-02T10:00:00+02:00\n";
      break;
    case 1:
      out += " \t" + hexId(rng) + "\t\trefs/remotes/origin/" + name + "\t\t\t\t\t2024-01-02T10:00:00+02:00\n";
      break;
    case 2:
      out += " \t" + hexId(rng) + "\t" + hexId(rng) + "\trefs/tags/v" + std::to_string(i) +
             "\t\t\t\t\t2023-11-30T23:59:59-05:00\n";
      break;
    default:
      out += " \t" + hexId(rng) + "\t\trefs/heads/topic/" + std::to_string(i) + "\t\t\t\t\t2024-01-02T10:00:00+02:00\n";
    }
  }
  return out;
}

void BM_StatusParser(benchmark::State& state) {
  const std::string output = statusOutput(static_cast<size_t>(state.range(0)));
  size_t entries = 0;
  // The runner hands the parser a filled buffer; only the parse is timed.
  GitBuffer buffer(output);
  for (auto _ : state) {
    buffer.resetOffset();
    auto parsed = GitStatusParser::parse(buffer);
    entries = parsed.size();
    benchmark::DoNotOptimize(parsed.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output.size()));
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_StatusParser)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_RefParser(benchmark::State& state) {
  const std::string output = refsOutput(static_cast<size_t>(state.range(0)));
  const auto fields = GitRefParser::defaultFieldNames();
  size_t refs = 0;
  GitBuffer buffer(output);
  for (auto _ : state) {
    buffer.resetOffset();
    auto parsed = GitRefParser::parse(buffer, fields);
    refs = parsed.size();
    benchmark::DoNotOptimize(parsed.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output.size()));
  state.counters["refs"] = static_cast<double>(refs);
}
BENCHMARK(BM_RefParser)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

// The parsed records sorted and grouped into the view's list.
void BM_RefList(benchmark::State& state) {
  const std::string output = refsOutput(static_cast<size_t>(state.range(0)));
  GitBuffer buffer(output);
  const auto parsed = GitRefParser::parse(buffer, GitRefParser::defaultFieldNames());
  for (auto _ : state) {
    auto list = GitRefList::from(parsed);
    benchmark::DoNotOptimize(list.all.data());
  }
  state.counters["refs"] = static_cast<double>(parsed.size());
}
BENCHMARK(BM_RefList)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ShowHeadParser(benchmark::State& state) {
  const std::string output = std::string("65c73ff249528b104daf06686cb251e7d1da0387") + '\0' +
                             "HEAD -> main, origin/main, tag: v1" + '\0' + "A U Thor" + '\0' + "a@x" + '\0' +
                             "2024-01-02T10:00:00+02:00" + '\0' + "Subject\n\nBody\n";
  const auto fields = GitShowHeadParser::defaultFormatFields();
  GitBuffer buffer(output);
  for (auto _ : state) {
    buffer.resetOffset();
    benchmark::DoNotOptimize(GitShowHeadParser::parse(buffer, GitHeadFile::head, fields));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output.size()));
}
BENCHMARK(BM_ShowHeadParser);

} // namespace

BENCHMARK_MAIN();
