// The pass over a dense term's postings that its bound is made from: per
// window holding postings, the largest contribution there, and the step of
// the bound's 256 that covers it. A plain form, the oracle, and a vector
// form where the processor has one, which gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "formats/bm25.h"
#include "index/bm25_bounds.h"
#include "index/bm25_scoring.h"

namespace tessavine {

// The windows holding postings of a term, in order, `count` of them: each
// one's number, its first posting, its largest contribution (never below
// +0.0) and which of its parts hold postings.
struct WindowRuns {
  // Room for `most` runs, left unset, and for the vector form's stores of
  // eight at a time past the last: one allocation for the four arrays, as
  // each costs a first search a visit to the allocator.
  explicit WindowRuns(std::size_t most)
      : room_(most + kSlack),
        block_(std::make_unique_for_overwrite<std::byte[]>(room_ * kBytesPerRun)),
        windows(reinterpret_cast<std::uint32_t*>(block_.get())),
        firsts(windows + room_),
        values(reinterpret_cast<float*>(firsts + room_)),
        parts(reinterpret_cast<PartMask*>(values + room_)) {}

  static constexpr std::size_t kSlack = 8;

 private:
  static constexpr std::size_t kBytesPerRun = 3 * sizeof(std::uint32_t) + sizeof(PartMask);
  std::size_t room_;
  std::unique_ptr<std::byte[]> block_;

 public:
  std::size_t count = 0;
  std::uint32_t* windows;
  std::uint32_t* firsts;
  float* values;
  PartMask* parts;
};

// The runs of `postings` (a term of `bm25` with this idf), each contribution
// exactly as scoring computes it. `runs` has room for as many runs as there
// are windows or postings, whichever is fewer. False when a contribution is
// NaN, infinite or negative (odd stored parameters), as pruning is then
// unsound; the runs are then left unset.
bool window_runs(const Bm25& bm25, const Bm25Constants& c, const PostingList& postings, float idf,
                 WindowRuns& runs);
bool window_runs_plain(const Bm25& bm25, const Bm25Constants& c, const PostingList& postings, float idf,
                       WindowRuns& runs);

// Writes to `out` the kSteps rising step values of a bound whose largest
// contribution is `max`: q 255ths of it for step q, and max itself for the
// last.
inline constexpr std::size_t kSteps = 256;
void set_step_values(float max, float* out);

// For each of `count` values (each >= +0.0, at most the last of the rising
// `step_values`), the smallest step whose value is at least it.
void bound_steps(const float* values, std::size_t count, std::span<const float> step_values, std::uint8_t* steps);
void bound_steps_plain(const float* values, std::size_t count, std::span<const float> step_values,
                       std::uint8_t* steps);

// Whether window_runs and bound_steps take their vector forms here.
bool vector_bounds_supported();

}  // namespace tessavine
