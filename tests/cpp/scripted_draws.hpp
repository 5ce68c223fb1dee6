// A run-wise draw source over any function of the draw number, for the scan's tests: it hands
// out its draws through a buffer of a chosen size, as the generator does through its own, and
// counts what the scan took and how often it refilled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace gridflip {

class ScriptedDraws {
 public:
  // Draw n (from 0) is word_of(n). The buffer holds `capacity` draws; the first `preloaded` of
  // them are ready before the first refill.
  ScriptedDraws(std::function<std::uint64_t(std::size_t)> word_of, std::size_t capacity,
                std::size_t preloaded = 0)
      : word_of_(std::move(word_of)), words_(2 * capacity), position_(2 * (capacity - preloaded)) {
    fill(0, preloaded);
  }

  std::size_t ready() const { return (words_.size() - position_) / 2; }
  const std::uint32_t* words() const { return words_.data() + position_; }
  void take(std::size_t draws) {
    position_ += 2 * draws;
    taken_ += draws;
  }
  void refill() {
    ready_at_refill_.push_back(ready());
    position_ = 0;
    fill(produced_, words_.size() / 2);
  }

  std::size_t taken() const { return taken_; }
  std::size_t refills() const { return ready_at_refill_.size(); }
  // Whether every refill came when nothing was ready, as a draw-by-draw consumer makes them.
  bool refilled_only_when_empty() const {
    for (std::size_t ready : ready_at_refill_) {
      if (ready != 0) return false;
    }
    return true;
  }

 private:
  // Writes the next `count` draws at the end of the buffer, each as its low word then its high.
  void fill(std::size_t first, std::size_t count) {
    std::size_t at = words_.size() - 2 * count;
    for (std::size_t n = first; n < first + count; ++n, at += 2) {
      const std::uint64_t word = word_of_(n);
      words_[at] = static_cast<std::uint32_t>(word);
      words_[at + 1] = static_cast<std::uint32_t>(word >> 32);
    }
    produced_ = first + count;
  }

  std::function<std::uint64_t(std::size_t)> word_of_;
  std::vector<std::uint32_t> words_;
  std::size_t position_;
  std::size_t produced_ = 0;
  std::size_t taken_ = 0;
  std::vector<std::size_t> ready_at_refill_;
};

}  // namespace gridflip
