// Throughput of the vector-search kernels on every path this CPU runs, next to
// the single-core memory bandwidth measured in the same process: bytes of
// packed codes scanned per second by the Hamming and ternary scans, int8 dot
// products per second, the exhaustive int8 scan against the time one read of
// its rows takes, and the histogram selection over a full scan's output.
//
// usage: bench_kernels [repeats]   (best of `repeats` runs, default 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "search/distance.h"
#include "search/topk.h"

namespace {

using Clock = std::chrono::steady_clock;
using tessavine::DistanceKernels;

int g_repeats = 5;
volatile std::uint64_t g_sink;  // keeps results observable

template <class Fn>
double best_seconds(Fn&& fn) {
  double best = 1e30;
  for (int r = 0; r < g_repeats; ++r) {
    const auto t0 = Clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(out.data() + i, &v, 8);
  }
  return out;
}

struct Bandwidth {
  double read_gbs;
  double copy_gbs;
};

// Sums 64-bit words from `streams` equal parts of the buffer side by side
// (a ternary scan reads two: codes and masks). Compiled twice: the plain
// build vectorises to 16-byte loads, the AVX2 one to 32-byte loads.
template <int kStreams>
[[gnu::always_inline]] inline std::uint64_t sum_words(const std::uint64_t* p, std::size_t words) {
  const std::size_t part = words / kStreams;
  std::uint64_t acc[kStreams][4] = {};
  for (std::size_t i = 0; i < part; i += 4)
    for (int s = 0; s < kStreams; ++s)
      for (int j = 0; j < 4; ++j) acc[s][j] += p[s * part + i + j];
  std::uint64_t total = 0;
  for (auto& a : acc)
    for (std::uint64_t x : a) total += x;
  return total;
}

std::uint64_t sum_plain(const std::uint64_t* p, std::size_t words, int streams) {
  return streams == 1 ? sum_words<1>(p, words) : sum_words<2>(p, words);
}

__attribute__((target("avx2"))) std::uint64_t sum_avx2(const std::uint64_t* p, std::size_t words,
                                                        int streams) {
  return streams == 1 ? sum_words<1>(p, words) : sum_words<2>(p, words);
}

// Reads a 1 GiB buffer as one stream and as two, with the widest loads this
// CPU has, and copies half of it onto the other half: the ceiling a one-pass
// scan on one core can approach. The read figure is the best of the reads.
Bandwidth measure_bandwidth() {
  const std::size_t bytes = std::size_t{1} << 30, words = bytes / 8;
  const auto buf = std::make_unique_for_overwrite<std::uint64_t[]>(words);
  std::memset(buf.get(), 1, bytes);  // fault every page in before timing
  const bool avx2 = __builtin_cpu_supports("avx2");
  double read = 1e30;
  for (int streams : {1, 2}) {
    read = std::min(read, best_seconds([&] {
      g_sink = avx2 ? sum_avx2(buf.get(), words, streams) : sum_plain(buf.get(), words, streams);
    }));
  }
  const std::size_t half = bytes / 2;
  auto* base = reinterpret_cast<unsigned char*>(buf.get());
  const double copy = best_seconds([&] {
    std::memcpy(base + half, base, half);
    g_sink = base[bytes - 1];
  });
  return {bytes / read / 1e9, half / copy / 1e9};
}

const char* name(const DistanceKernels& k) { return tessavine::kernel_path_name(k.path).data(); }

std::uint64_t checksum(const std::vector<std::uint16_t>& d) {
  std::uint64_t s = 0;
  for (std::uint16_t x : d) s = s * 31 + x;
  return s;
}

struct Row {
  std::string kernel;
  std::size_t n;
  std::string path;
  double gbs;
  double ns_per_vector;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_repeats = std::max(1, std::atoi(argv[1]));
  const std::size_t dim = 384, bytes = dim / 8;

  std::vector<const DistanceKernels*> paths;
  for (tessavine::KernelPath p : tessavine::kKernelPaths)
    if (const DistanceKernels* k = tessavine::kernels_for(p)) paths.push_back(k);

  // Shared machines drift: the probe runs before and after the kernels, and
  // the ratios use the better of the two reads.
  const Bandwidth before = measure_bandwidth();
  std::vector<Row> rows;

  std::mt19937_64 rng(1);
  const std::vector<std::uint8_t> qc = random_bytes(rng, bytes), qm = random_bytes(rng, bytes);
  for (std::size_t n : {std::size_t{100'000}, std::size_t{1'000'000}}) {
    const std::vector<std::uint8_t> codes = random_bytes(rng, n * bytes);
    const std::vector<std::uint8_t> masks = random_bytes(rng, n * bytes);
    std::vector<std::uint16_t> out(n);
    std::uint64_t expected = 0;
    for (const DistanceKernels* k : paths) {
      const double s =
          best_seconds([&] { k->hamming(qc.data(), codes.data(), n, bytes, out.data()); });
      if (k == paths.front()) expected = checksum(out);
      if (checksum(out) != expected) std::printf("!! %s hamming result differs\n", name(*k));
      rows.push_back({"hamming (codes)", n, name(*k), n * bytes / s / 1e9, s / n * 1e9});
    }
    for (const DistanceKernels* k : paths) {
      const double s = best_seconds([&] {
        k->ternary(qc.data(), qm.data(), codes.data(), masks.data(), n, bytes, dim, out.data());
      });
      if (k == paths.front()) expected = checksum(out);
      if (checksum(out) != expected) std::printf("!! %s ternary result differs\n", name(*k));
      rows.push_back({"ternary (codes+masks)", n, name(*k), 2 * n * bytes / s / 1e9, s / n * 1e9});
    }
    // The selection that follows a scan, over the ternary distances just made
    // (GB/s of 16-bit distances read).
    for (std::size_t k : {std::size_t{10}, std::size_t{200}}) {
      const double s =
          best_seconds([&] { g_sink = tessavine::smallest_k_by_histogram(out, k).size(); });
      rows.push_back({"histogram top-" + std::to_string(k), n, "-", n * 2 / s / 1e9, s / n * 1e9});
    }
  }

  // 1,000 rows stay in cache; 1,000,000 rows (384 MB) stream from memory, as
  // the exhaustive "int8" mode does.
  std::vector<Row> dots, scans;
  std::vector<float> q(dim);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (float& x : q) x = unit(rng) / 20.0f;
  for (std::size_t n : {std::size_t{1'000}, std::size_t{1'000'000}}) {
    const std::vector<std::uint8_t> raw = random_bytes(rng, n * dim);
    const auto* codes = reinterpret_cast<const std::int8_t*>(raw.data());
    const std::size_t calls = std::max<std::size_t>(n, 1'000'000);
    for (const DistanceKernels* k : paths) {
      const double s = best_seconds([&] {
        float acc = 0.0f;
        for (std::size_t i = 0; i < calls; ++i)
          acc += k->int8_dot(q.data(), codes + (i % n) * dim, dim);
        g_sink = static_cast<std::uint64_t>(acc);
      });
      dots.push_back({"int8_dot", n, name(*k), calls * dim / s / 1e9, s / calls * 1e9});
    }
    // The exhaustive "int8" scan: every row once through the batched kernel.
    std::vector<float> out(n);
    for (const DistanceKernels* k : paths) {
      const double s = best_seconds([&] {
        k->int8_dots(q.data(), codes, n, dim, out.data());
        g_sink = static_cast<std::uint64_t>(out[n - 1]);
      });
      scans.push_back({"int8_dots", n, name(*k), n * dim / s / 1e9, s * 1e3});  // ms per scan
    }
  }

  const Bandwidth after = measure_bandwidth();
  const double read = std::max(before.read_gbs, after.read_gbs);
  std::printf("single core, best of %d runs; D = %zu (%zu bytes per code); default path: %s\n",
              g_repeats, dim, bytes, name(tessavine::best_kernels()));
  std::printf(
      "memory probe (1 GiB): read %.2f / %.2f GB/s, memcpy %.2f / %.2f GB/s (before / after)\n\n",
      before.read_gbs, after.read_gbs, before.copy_gbs, after.copy_gbs);
  std::printf("%-22s %9s  %-9s %9s %11s %12s\n", "kernel", "N", "path", "GB/s", "ns/vector",
              "vs read bw");
  for (const Row& r : rows)
    std::printf("%-22s %9zu  %-9s %9.2f %11.2f %12.2f\n", r.kernel.c_str(), r.n, r.path.c_str(),
                r.gbs, r.ns_per_vector, r.gbs / read);
  std::printf("\n%-22s %9s  %-9s %9s %11s %12s\n", "int8_dot (D = 384)", "rows", "path", "GB/s",
              "ns/dot", "Mdot/s");
  for (const Row& r : dots)
    std::printf("%-22s %9zu  %-9s %9.2f %11.2f %12.1f\n", r.kernel.c_str(), r.n, r.path.c_str(),
                r.gbs, r.ns_per_vector, 1e3 / r.ns_per_vector);
  std::printf("\n%-22s %9s  %-9s %9s %11s %12s\n", "int8 scan (D = 384)", "rows", "path", "GB/s",
              "ms", "x floor");
  // The floor: the time to read the rows once at the probe's read bandwidth.
  for (const Row& r : scans)
    std::printf("%-22s %9zu  %-9s %9.2f %11.2f %12.2f\n", r.kernel.c_str(), r.n, r.path.c_str(),
                r.gbs, r.ns_per_vector, read / r.gbs);
  return 0;
}
