#include "index/bound_warmer.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "index/bm25_bounds.h"

namespace tessavine {

struct BoundWarmer::State {
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;  // under mutex
  pid_t owner = getpid();
};

namespace {

// The dense terms, most postings first: the common words every query
// shares, whose bounds cost most, are made before the rest.
std::vector<std::uint32_t> dense_terms(const Bm25& bm25) {
  const std::size_t windows = window_count(bm25);
  std::vector<std::pair<std::size_t, std::uint32_t>> dense;
  for (std::uint32_t t = 0; t < bm25.term_count(); ++t) {
    const std::size_t df = bm25.postings(t).size();
    if (is_dense(df, windows)) dense.emplace_back(df, t);
  }
  std::sort(dense.begin(), dense.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  std::vector<std::uint32_t> terms;
  terms.reserve(dense.size());
  for (const auto& [df, t] : dense) terms.push_back(t);
  return terms;
}

}  // namespace

BoundWarmer::BoundWarmer(std::shared_ptr<const Bm25> bm25, std::shared_ptr<const Bm25Bounds> bounds)
    : state_(std::make_shared<State>()) {
  auto work = [state = state_, bm25 = std::move(bm25), bounds = std::move(bounds)]() mutable {
#ifdef __linux__
    // Searches come first: this only saves them time they would spend later.
    // On Linux a thread has a niceness of its own.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
#endif
    try {
      for (const std::uint32_t t : dense_terms(*bm25)) {
        if (state->stop.load(std::memory_order_relaxed)) break;
        bounds->of(*bm25, t);
      }
    } catch (const std::bad_alloc&) {
      // Short of memory: searches make the bounds they need, as without this.
    }
    bounds.reset();
    bm25.reset();
    const std::lock_guard lock(state->mutex);
    state->done = true;
    state->cv.notify_all();
  };
  try {
    std::thread(std::move(work)).detach();
  } catch (const std::system_error&) {
    state_.reset();
  }
}

BoundWarmer::~BoundWarmer() { stop(); }

BoundWarmer& BoundWarmer::operator=(BoundWarmer&& other) noexcept {
  if (this != &other) {
    stop();
    state_ = std::move(other.state_);
  }
  return *this;
}

void BoundWarmer::stop() {
  if (!state_) return;
  state_->stop.store(true, std::memory_order_relaxed);
  if (state_->owner == getpid()) wait();
  state_.reset();
}

void BoundWarmer::wait() const {
  if (!state_) return;
  std::unique_lock lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->done; });
}

}  // namespace tessavine
