// SPDX-License-Identifier: MIT
// SIGTERM and SIGINT as events on the Qt main loop (signalfd + QSocketNotifier).
//
// BlockTerminationSignals() must run at the start of main, before any thread exists, so
// that every thread leaves the signals to the signalfd.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace korvid {

void BlockTerminationSignals();

class TerminationSignals {
 public:
  explicit TerminationSignals(std::function<void()> handler);
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;
  bool Active() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::function<void()> handler_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QObject context_;
};

}  // namespace korvid
