// SPDX-License-Identifier: MIT
// Calls to run later on the main loop. The helper's delayed pushes go through this, so
// tests run them in virtual time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include <QObject>
#include <QTimer>

namespace korvid {

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  // Runs `call` once, `delay` from now, on the main loop.
  virtual void After(std::chrono::milliseconds delay, std::function<void()> call) = 0;
};

// One single-shot QTimer per call.
class QtScheduler final : public Scheduler {
 public:
  void After(std::chrono::milliseconds delay, std::function<void()> call) override {
    QTimer::singleShot(delay, &context_, std::move(call));
  }

 private:
  QObject context_;  // pending calls die with the scheduler
};

// Virtual time: Advance() runs the calls that fall due, in order of their time (then of
// scheduling).
class VirtualScheduler final : public Scheduler {
 public:
  void After(std::chrono::milliseconds delay, std::function<void()> call) override {
    pending_.emplace(std::make_pair(now_ + delay, sequence_++), std::move(call));
  }
  void Advance(std::chrono::milliseconds by) {
    const auto until = now_ + by;
    while (!pending_.empty() && pending_.begin()->first.first <= until) {
      auto node = pending_.extract(pending_.begin());
      now_ = node.key().first;
      node.mapped()();
    }
    now_ = until;
  }
  std::size_t Pending() const { return pending_.size(); }
  std::chrono::milliseconds Now() const { return now_; }

 private:
  std::chrono::milliseconds now_{0};
  std::uint64_t sequence_ = 0;
  std::map<std::pair<std::chrono::milliseconds, std::uint64_t>, std::function<void()>> pending_;
};

}  // namespace korvid
