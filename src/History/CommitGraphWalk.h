// The first rows of a history without starting git: git's commit-graph file
// read in place, walked the way git walks it for "--topo-order --date-order"
// when generation numbers are at hand, so the ids come in git's own order.
//
// Only the order comes from here; a walker looks each commit up itself.
// Anything git itself would not trust (no graph, an old graph without
// generation numbers, replace refs, grafts, a shallow repository, a starting
// point the graph does not know) makes `open`/`start` give nothing, and the
// walker streams from git instead.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"

#include <cstdint>
#include <memory>
#include <string>
#include <optional>
#include <queue>
#include <unordered_map>
#include <vector>

namespace tavrik::detail {

class CommitGraph {
public:
  /// The repository's commit-graph (a single file or a chain of layers), or
  /// nullptr when there is none git would use or it is malformed.
  static std::shared_ptr<const CommitGraph> open(const arbor::Repo& repo);
  /// Reads one graph file's bytes (for the fuzz target and tests); nullptr
  /// when malformed.
  static std::shared_ptr<const CommitGraph> fromBytes(std::vector<std::string> layers);

  std::optional<uint32_t> position(const Oid& id) const;
  Oid id(uint32_t position) const;
  /// Commit time, seconds since the epoch.
  int64_t date(uint32_t position) const;
  /// The generation git compares: corrected commit date, or the topological
  /// level when some layer lacks the former.
  uint64_t generation(uint32_t position) const;
  /// Parent positions, first parent first; false when the file is corrupt.
  bool parents(uint32_t position, std::vector<uint32_t>& out) const;
  uint32_t size() const { return total_; }

private:
  struct Layer {
    // The file mapped into memory (or the bytes given), kept by `owner`.
    std::shared_ptr<const void> owner;
    const unsigned char* bytes = nullptr;
    size_t length = 0;
    uint32_t count = 0;
    uint32_t base = 0;
    size_t fanout = 0, oids = 0, data = 0, edges = 0, edgesSize = 0, generations = 0, overflow = 0,
           overflowSize = 0;
    bool hasGenerations = false;
  };
  static bool parseLayer(Layer& layer, uint32_t base);
  static std::optional<Layer> mapFile(const std::string& path);
  const Layer& layerOf(uint32_t position) const;

  std::vector<Layer> layers_;
  uint32_t total_ = 0;
  bool correctedDates_ = false;
};

class CommitGraphWalk {
public:
  /// The walk from `tips` (in the order git was given them); nullopt when a
  /// tip is not in the graph.
  static std::optional<CommitGraphWalk> start(std::shared_ptr<const CommitGraph> graph, const std::vector<Oid>& tips);

  /// The next id; nullopt at the end. Throws TavrikError for a corrupt graph.
  std::optional<Oid> next();

private:
  struct Item {
    uint32_t position;
    uint64_t key1, key2;  // compared first, then second, larger first
    uint64_t counter;     // insertion order, earlier first
    bool operator<(const Item& o) const {
      if (key1 != o.key1) return key1 < o.key1;
      if (key2 != o.key2) return key2 < o.key2;
      return counter > o.counter;
    }
  };

  explicit CommitGraphWalk(std::shared_ptr<const CommitGraph> graph) : graph_(std::move(graph)) {}
  void pushTopo(uint32_t position);
  void pushIndegree(uint32_t position);
  void computeIndegreesToDepth(uint64_t cutoff);

  std::shared_ptr<const CommitGraph> graph_;
  std::priority_queue<Item> topo_, indegreeQueue_;
  uint64_t topoCounter_ = 0, indegreeCounter_ = 0;
  std::unordered_map<uint32_t, int> indegree_;
  std::unordered_map<uint32_t, bool> indegreeQueued_;
  uint64_t minGeneration_ = UINT64_MAX;
  std::vector<uint32_t> parents_;
};

} // namespace tavrik::detail
