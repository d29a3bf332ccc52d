#include "History/CommitGraphWalk.h"

#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrik::detail {

namespace {

constexpr size_t kHashLength = 20;
constexpr size_t kDataEntry = kHashLength + 16;
constexpr uint32_t kNoParent = 0x70000000;
constexpr uint32_t kEdgeListFlag = 0x80000000;
constexpr uint32_t kLastEdge = 0x80000000;
constexpr uint32_t kOffsetOverflow = 0x80000000;

uint32_t be32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint64_t be64(const unsigned char* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Replace refs as files or packed; asking the reference database would parse
// every packed reference first, which costs more than the whole first page.
bool hasReplaceRefs(const std::string& common) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(common + "/refs/replace", ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file(ec)) return true;
  std::ifstream packed(common + "/packed-refs", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(packed)), std::istreambuf_iterator<char>());
  return text.find(" refs/replace/") != std::string::npos;
}

} // namespace

std::optional<CommitGraph::Layer> CommitGraph::mapFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size <= 0) {
    ::close(fd);
    return std::nullopt;
  }
  size_t length = static_cast<size_t>(st.st_size);
  void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return std::nullopt;
  Layer layer;
  layer.owner = std::shared_ptr<const void>(map, [length](const void* p) { ::munmap(const_cast<void*>(p), length); });
  layer.bytes = static_cast<const unsigned char*>(map);
  layer.length = length;
  return layer;
}

bool CommitGraph::parseLayer(Layer& layer, uint32_t base) {
  const unsigned char* b = layer.bytes;
  const size_t size = layer.length;
  // "CGPH", version 1, SHA-1, chunk count, base layer count.
  if (size < 8 + 12 || std::memcmp(b, "CGPH", 4) != 0 || b[4] != 1 || b[5] != 1 || b[7] != base) return false;
  const size_t chunks = b[6];
  if (size < 8 + (chunks + 1) * 12) return false;
  layer.base = base;
  size_t fanoutSize = 0, oidsSize = 0, dataSize = 0, generationsSize = 0;
  for (size_t i = 0; i < chunks; ++i) {
    const unsigned char* entry = b + 8 + i * 12;
    uint64_t offset = be64(entry + 4), end = be64(entry + 16);
    if (offset > end || end > size) return false;
    size_t length = static_cast<size_t>(end - offset);
    auto id = be32(entry);
    if (id == 0x4f494446) layer.fanout = offset, fanoutSize = length;              // OIDF
    else if (id == 0x4f49444c) layer.oids = offset, oidsSize = length;             // OIDL
    else if (id == 0x43444154) layer.data = offset, dataSize = length;             // CDAT
    else if (id == 0x45444745) layer.edges = offset, layer.edgesSize = length;     // EDGE
    else if (id == 0x47444132) layer.generations = offset, generationsSize = length; // GDA2
    else if (id == 0x47444f32) layer.overflow = offset, layer.overflowSize = length; // GDO2
  }
  if (fanoutSize != 256 * 4 || !layer.oids || !layer.data) return false;
  layer.count = be32(b + layer.fanout + 255 * 4);
  for (int i = 1; i < 256; ++i)
    if (be32(b + layer.fanout + i * 4) < be32(b + layer.fanout + (i - 1) * 4)) return false;
  if (oidsSize != size_t(layer.count) * kHashLength || dataSize != size_t(layer.count) * kDataEntry) return false;
  layer.hasGenerations = layer.generations && generationsSize == size_t(layer.count) * 4;
  return true;
}

std::shared_ptr<const CommitGraph> CommitGraph::open(const arbor::Repo& repo) {
  const std::string common = repo.commonDirectoryPath();
  // git sets the graph aside whenever it could disagree with the objects.
  if (!repo.configBool("core.commitGraph", true) || exists(common + "/shallow") || exists(common + "/info/grafts") ||
      (repo.configBool("core.useReplaceRefs", true) && std::getenv("GIT_NO_REPLACE_OBJECTS") == nullptr &&
       hasReplaceRefs(common)))
    return nullptr;
  auto graph = std::make_shared<CommitGraph>();
  const std::string info = common + "/objects/info";
  std::vector<std::string> paths;
  if (exists(info + "/commit-graph")) {
    paths.push_back(info + "/commit-graph");
  } else {
    std::ifstream chain(info + "/commit-graphs/commit-graph-chain");
    for (std::string line; std::getline(chain, line);)
      if (!line.empty()) paths.push_back(info + "/commit-graphs/graph-" + line + ".graph");
  }
  if (paths.empty()) return nullptr;
  for (const auto& path : paths) {
    auto layer = mapFile(path);
    if (!layer || !parseLayer(*layer, static_cast<uint32_t>(graph->layers_.size()))) return nullptr;
    layer->base = graph->total_;
    graph->total_ += layer->count;
    graph->layers_.push_back(std::move(*layer));
  }
  graph->correctedDates_ = true;
  for (const auto& layer : graph->layers_) graph->correctedDates_ &= layer.hasGenerations;
  // A graph written before generation numbers has a zero level there; git
  // then sorts the whole history instead, which only the stream reproduces.
  const auto& first = graph->layers_.front();
  if (graph->total_ == 0 || first.count == 0 || (be32(first.bytes + first.data + kHashLength + 8) >> 2) == 0)
    return nullptr;
  return graph;
}

std::shared_ptr<const CommitGraph> CommitGraph::fromBytes(std::vector<std::string> layers) {
  auto graph = std::make_shared<CommitGraph>();
  for (auto& bytes : layers) {
    auto owned = std::make_shared<std::string>(std::move(bytes));
    Layer layer;
    layer.bytes = reinterpret_cast<const unsigned char*>(owned->data());
    layer.length = owned->size();
    layer.owner = owned;
    if (!parseLayer(layer, static_cast<uint32_t>(graph->layers_.size()))) return nullptr;
    layer.base = graph->total_;
    graph->total_ += layer.count;
    graph->layers_.push_back(std::move(layer));
  }
  graph->correctedDates_ = !graph->layers_.empty();
  for (const auto& layer : graph->layers_) graph->correctedDates_ &= layer.hasGenerations;
  return graph;
}

const CommitGraph::Layer& CommitGraph::layerOf(uint32_t position) const {
  for (const auto& layer : layers_)
    if (position < layer.base + layer.count) return layer;
  return layers_.back();
}

std::optional<uint32_t> CommitGraph::position(const Oid& id) const {
  const auto& raw = id.bytes();
  for (auto layer = layers_.rbegin(); layer != layers_.rend(); ++layer) {
    const unsigned char* fanout = layer->bytes + layer->fanout;
    uint32_t low = raw[0] ? be32(fanout + (raw[0] - 1) * 4) : 0, high = be32(fanout + raw[0] * 4);
    high = std::min(high, layer->count);
    while (low < high) {
      uint32_t mid = low + (high - low) / 2;
      int c = std::memcmp(layer->bytes + layer->oids + size_t(mid) * kHashLength, raw.data(), kHashLength);
      if (c == 0) return layer->base + mid;
      if (c < 0) low = mid + 1;
      else high = mid;
    }
  }
  return std::nullopt;
}

Oid CommitGraph::id(uint32_t position) const {
  const auto& layer = layerOf(position);
  std::array<unsigned char, Oid::kSize> raw;
  std::memcpy(raw.data(), layer.bytes + layer.oids + size_t(position - layer.base) * kHashLength, kHashLength);
  return Oid(raw);
}

int64_t CommitGraph::date(uint32_t position) const {
  const auto& layer = layerOf(position);
  const unsigned char* entry = layer.bytes + layer.data + size_t(position - layer.base) * kDataEntry;
  return static_cast<int64_t>(uint64_t(be32(entry + 28) & 0x3) << 32 | be32(entry + 32));
}

uint64_t CommitGraph::generation(uint32_t position) const {
  const auto& layer = layerOf(position);
  const unsigned char* entry = layer.bytes + layer.data + size_t(position - layer.base) * kDataEntry;
  if (!correctedDates_) return be32(entry + 28) >> 2;
  uint32_t offset = be32(layer.bytes + layer.generations + size_t(position - layer.base) * 4);
  uint64_t corrected = offset;
  if (offset & kOffsetOverflow) {
    size_t index = offset ^ kOffsetOverflow;
    if ((index + 1) * 8 > layer.overflowSize) return static_cast<uint64_t>(date(position));
    corrected = be64(layer.bytes + layer.overflow + index * 8);
  }
  return static_cast<uint64_t>(date(position)) + corrected;
}

bool CommitGraph::parents(uint32_t position, std::vector<uint32_t>& out) const {
  out.clear();
  const auto& layer = layerOf(position);
  const unsigned char* entry = layer.bytes + layer.data + size_t(position - layer.base) * kDataEntry;
  uint32_t first = be32(entry + kHashLength), second = be32(entry + kHashLength + 4);
  if (first == kNoParent) return true;
  if (first >= total_) return false;
  out.push_back(first);
  if (second == kNoParent) return true;
  if (!(second & kEdgeListFlag)) {
    if (second >= total_) return false;
    out.push_back(second);
    return true;
  }
  // An octopus: the rest of the parents are listed in the extra edges.
  for (size_t index = second ^ kEdgeListFlag;; ++index) {
    if ((index + 1) * 4 > layer.edgesSize || out.size() > total_) return false;
    uint32_t edge = be32(layer.bytes + layer.edges + index * 4);
    if ((edge & ~kLastEdge) >= total_) return false;
    out.push_back(edge & ~kLastEdge);
    if (edge & kLastEdge) return true;
  }
}

// MARK: - The walk

std::optional<CommitGraphWalk> CommitGraphWalk::start(std::shared_ptr<const CommitGraph> graph,
                                                      const std::vector<Oid>& tips) {
  CommitGraphWalk walk(std::move(graph));
  std::vector<uint32_t> starts;
  for (const auto& tip : tips) {
    auto position = walk.graph_->position(tip);
    if (!position) return std::nullopt;
    if (std::find(starts.begin(), starts.end(), *position) == starts.end()) starts.push_back(*position);
  }
  // git sorts its starting commits by date, newest first, keeping the given
  // order among equal dates.
  std::stable_sort(starts.begin(), starts.end(),
                   [&](uint32_t a, uint32_t b) { return walk.graph_->date(a) > walk.graph_->date(b); });
  for (uint32_t start : starts) {
    walk.pushIndegree(start);
    walk.minGeneration_ = std::min(walk.minGeneration_, walk.graph_->generation(start));
    walk.indegree_[start] = 1;
  }
  walk.computeIndegreesToDepth(walk.minGeneration_);
  for (uint32_t start : starts)
    if (walk.indegree_[start] == 1) walk.pushTopo(start);
  return walk;
}

void CommitGraphWalk::pushTopo(uint32_t position) {
  topo_.push(Item{position, static_cast<uint64_t>(graph_->date(position)), 0, topoCounter_++});
}

void CommitGraphWalk::pushIndegree(uint32_t position) {
  auto& queued = indegreeQueued_[position];
  if (queued) return;
  queued = true;
  indegreeQueue_.push(
      Item{position, graph_->generation(position), static_cast<uint64_t>(graph_->date(position)), indegreeCounter_++});
}

void CommitGraphWalk::computeIndegreesToDepth(uint64_t cutoff) {
  while (!indegreeQueue_.empty() && indegreeQueue_.top().key1 >= cutoff) {
    uint32_t commit = indegreeQueue_.top().position;
    indegreeQueue_.pop();
    if (!graph_->parents(commit, parents_)) throw TavrikError::fromErrno(EBADMSG, "commit-graph: bad parent");
    for (uint32_t parent : parents_) {
      int& count = indegree_[parent];
      count = count ? count + 1 : 2;
      pushIndegree(parent);
    }
  }
}

std::optional<Oid> CommitGraphWalk::next() {
  if (topo_.empty()) return std::nullopt;
  uint32_t commit = topo_.top().position;
  topo_.pop();
  indegree_[commit] = 0;
  if (!graph_->parents(commit, parents_)) throw TavrikError::fromErrno(EBADMSG, "commit-graph: bad parent");
  const std::vector<uint32_t> parents = parents_;
  for (uint32_t parent : parents) {
    uint64_t generation = graph_->generation(parent);
    if (generation < minGeneration_) {
      minGeneration_ = generation;
      computeIndegreesToDepth(minGeneration_);
    }
    int& count = indegree_[parent];
    --count;
    if (count == 1) pushTopo(parent);
  }
  return graph_->id(commit);
}

} // namespace tavrik::detail
