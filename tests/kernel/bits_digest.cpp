// Prints one line per layout of a fixed set: a digest of every f32 slot of the
// final node matrix, and node 0's x and y in hexfloat.
//
// The layouts' bits are fixed by the arithmetic alone, so builds by different
// compilers (and at different optimisation levels) must print the same text:
// tools/run_tests.sh compares them. A compiler that drops or adds a rounding
// (one once paired two f32 stores and reused the unrounded f64 values) changes
// a digest. Exits with status 1 when two thread counts disagree within one
// build, so the program is also a test on its own.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "iterate.hpp"
#include "layout.hpp"
#include "matrices.hpp"
#include "settings.hpp"

namespace {

using tallow::LayoutSettings;

// A linear congruential generator: the same numbers with every compiler and
// standard library, unlike the <random> distributions.
class Lcg {
 public:
  explicit Lcg(std::uint32_t seed) : state_(seed) {}
  std::uint32_t next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;  // the low bits of an LCG cycle quickly
  }
  std::uint32_t below(std::uint32_t bound) { return next() % bound; }
  double uniform() { return static_cast<double>(next()) / 16777216.0; }  // [0, 1)

 private:
  std::uint32_t state_;
};

struct Graph {
  std::uint64_t n_nodes;
  std::vector<tallow::EdgePair> edges;
  std::vector<double> weights;
  std::vector<tallow::Point> init;
};

// Planted communities of 50 nodes: five edges per node, four in ten of them to
// another community; a self-loop and a duplicate edge; weights in [0.25, 4.25).
Graph community_graph(std::uint32_t n_nodes, std::uint32_t seed) {
  constexpr std::uint32_t community = 50;
  Lcg lcg(seed);
  Graph graph{n_nodes, {}, {}, {}};
  for (std::uint32_t i = 0; i < n_nodes; ++i) {
    const std::uint32_t first = i - i % community;
    const std::uint32_t size = first + community <= n_nodes ? community : n_nodes - first;
    for (int k = 0; k < 5; ++k) {
      const bool outside = lcg.below(10) < 4;
      const std::uint32_t j = outside ? lcg.below(n_nodes) : first + lcg.below(size);
      graph.edges.push_back({i, j});
      graph.weights.push_back(0.25 + 4.0 * lcg.uniform());
    }
    const double cx = 40.0 * static_cast<double>((i / community) % 7);
    const double cy = 40.0 * static_cast<double>((i / community) / 7 % 7);
    graph.init.push_back({cx + 30.0 * lcg.uniform() - 15.0, cy + 30.0 * lcg.uniform() - 15.0});
  }
  graph.edges.push_back({3, 3});
  graph.weights.push_back(1.5);
  graph.edges.push_back(graph.edges.front());
  graph.weights.push_back(graph.weights.front());
  return graph;
}

struct Case {
  const char* name;
  std::uint32_t n_nodes;
  std::uint32_t iterations;
  bool weighted;
  LayoutSettings settings;
};

LayoutSettings exact() { return LayoutSettings{}; }

LayoutSettings barnes_hut(double theta) {
  LayoutSettings s;
  s.barnesHutOptimize = true;
  s.barnesHutTheta = theta;
  return s;
}

std::vector<Case> cases() {
  std::vector<Case> list;
  list.push_back({"exact-defaults", 300, 30, false, exact()});
  LayoutSettings s = exact();
  s.linLogMode = true;
  s.outboundAttractionDistribution = true;
  s.edgeWeightInfluence = 0.5;
  list.push_back({"exact-linlog-outbound-weighted", 300, 30, true, s});
  s = exact();
  s.adjustSizes = true;
  s.strongGravityMode = true;
  s.gravity = 0.05;
  s.scalingRatio = 2.0;
  list.push_back({"exact-sizes-strong-gravity", 300, 30, false, s});
  s = exact();
  s.edgeWeightInfluence = 2.0;
  s.slowDown = 0.1;
  s.scalingRatio = 1e36;  // forces overflow f32: infinities, then NaN
  list.push_back({"exact-overflowing", 120, 2, true, s});
  list.push_back({"barnes-hut-0.5", 3000, 15, false, barnes_hut(0.5)});
  s = barnes_hut(1.2);
  s.strongGravityMode = true;
  s.linLogMode = true;
  s.scalingRatio = 10.0;
  s.slowDown = 2.0;
  list.push_back({"barnes-hut-1.2-strong-linlog", 3000, 15, true, s});
  s = barnes_hut(0.8);
  s.adjustSizes = true;
  s.outboundAttractionDistribution = true;
  s.edgeWeightInfluence = 1.7;
  list.push_back({"barnes-hut-0.8-sizes-outbound", 3000, 15, true, s});
  // Large enough that the walk tree is written on the pool too.
  list.push_back({"barnes-hut-1.2-large", 20000, 3, false, barnes_hut(1.2)});
  return list;
}

// FNV-1a over the slots' bits; every NaN counts as the one quiet NaN, since
// which NaN an operation yields carries no meaning and compilers may pick
// either operand's.
std::uint64_t digest(std::span<const float> values) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const float value : values) {
    const std::uint32_t bits = std::isnan(value) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(value);
    for (int byte = 0; byte < 4; ++byte) {
      hash ^= (bits >> (8 * byte)) & 0xffu;
      hash *= 0x100000001b3u;
    }
  }
  return hash;
}

std::string hexfloat(float value) {
  if (std::isnan(value)) {
    return "nan";  // the sign of a NaN is as meaningless as its payload
  }
  char text[64];
  std::snprintf(text, sizeof text, "%a", static_cast<double>(value));
  return text;
}

struct Run {
  tallow::NodeMatrix nodes;
  std::size_t regions;  // of the last step's region tree
};

Run run(const Case& c, std::uint64_t threads) {
  const Graph graph = community_graph(c.n_nodes, /*seed=*/c.n_nodes);
  std::optional<std::span<const double>> weights;
  if (c.weighted) {
    weights = std::span<const double>(graph.weights);
  }
  tallow::Matrices m = tallow::graph_to_matrices(graph.n_nodes, graph.edges, weights, graph.init);
  tallow::StepBuffers buffers;
  if (tallow::run_layout(m.nodes, m.edges, c.settings, c.iterations, threads, {}, buffers)) {
    std::fprintf(stderr, "%s: the run was aborted\n", c.name);
    std::exit(1);
  }
  return {std::move(m.nodes), buffers.regions.size() / tallow::region_stride};
}

}  // namespace

int main() {
  int status = 0;
  for (const Case& c : cases()) {
    std::optional<std::uint64_t> one_thread;
    for (const std::uint64_t threads : {1u, 2u}) {
      const Run result = run(c, threads);
      const std::uint64_t hash = digest(result.nodes);
      std::printf("%-30s threads=%llu regions=%-6zu %016llx x0=%s y0=%s\n", c.name,
                  static_cast<unsigned long long>(threads), result.regions,
                  static_cast<unsigned long long>(hash),
                  hexfloat(result.nodes[tallow::slot::x]).c_str(),
                  hexfloat(result.nodes[tallow::slot::y]).c_str());
      if (one_thread && *one_thread != hash) {
        std::fprintf(stderr, "%s: 2 threads differ from 1 thread\n", c.name);
        status = 1;
      }
      one_thread = hash;
    }
  }
  return status;
}
