// Making a reader's term bounds ahead of its searches. A common term's bound
// costs a pass over all its postings, so the first search to use it would
// otherwise take several times as long as the next ones. Once a reader of a
// large index opens, a thread of its own makes the bounds of every term in
// many documents, the most common first, through the same slots searches
// fill: whichever makes a term's bound first sets it, so results are the
// same whether a search finds it made or makes it itself.
#pragma once

#include <memory>

#include "formats/bm25.h"
#include "index/bm25_search.h"

namespace tessavine {

// Below this many documents, making a term's bound costs a search little.
inline constexpr std::uint32_t kWarmedFrom = 32768;

class BoundWarmer {
 public:
  BoundWarmer() = default;
  // Starts making the bounds of bm25's dense terms into `bounds` on a thread
  // at low priority, which holds both until it is done or told to stop. When
  // no thread can be started, searches make the bounds as they need them.
  BoundWarmer(std::shared_ptr<const Bm25> bm25, std::shared_ptr<const Bm25Bounds> bounds);
  // Tells the thread to stop after the term at hand and waits until it has
  // let go of the file, so that it is released when its reader is. A process
  // forked meanwhile has no such thread and does not wait.
  ~BoundWarmer();
  BoundWarmer(BoundWarmer&&) noexcept = default;
  BoundWarmer& operator=(BoundWarmer&& other) noexcept;
  BoundWarmer(const BoundWarmer&) = delete;
  BoundWarmer& operator=(const BoundWarmer&) = delete;

  // Waits until every bound is made or the thread has stopped.
  void wait() const;

 private:
  struct State;
  void stop();

  std::shared_ptr<State> state_;  // null when no thread runs for it
};

}  // namespace tessavine
