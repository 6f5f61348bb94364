// Timing of contenders in alternating rounds. A baseline timed in separate runs sees another machine
// (clock boost, caches, neighbours); timed round by round against the library, both see the same one,
// and their ratio holds even where the absolute figures wander. Each contender's figure is the median
// of its rounds, so that a round the scheduler interrupted does not move it.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

template <size_t N>
class Rounds {
 public:
  explicit Rounds(int64_t batch) : batch_(batch) {}

  // Runs `work` batch times and keeps the time it took as one round of `slot`.
  template <typename Work>
  void Time(size_t slot, Work&& work) {
    const auto start = Clock::now();
    for (int64_t i = 0; i < batch_; ++i) {
      work();
    }
    rounds_[slot].push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }

  // Seconds of the latest round of `slot`.
  double Last(size_t slot) const { return rounds_[slot].empty() ? 0 : rounds_[slot].back(); }

  // Seconds per call of `slot`: the median round over the batch.
  double PerCall(size_t slot) const {
    std::vector<double> sorted = rounds_[slot];
    if (sorted.empty()) {
      return 0;
    }
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    return *middle / static_cast<double>(batch_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  int64_t batch_;
  std::array<std::vector<double>, N> rounds_;
};

}  // namespace bench
