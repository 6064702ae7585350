// SPDX-License-Identifier: MIT
#include "platform/signals/TerminationSignals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace korvid {

namespace {
sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

void BlockTerminationSignals() {
  const sigset_t set = TerminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TerminationSignals::TerminationSignals(std::function<void()> handler) : handler_(std::move(handler)) {
  const sigset_t set = TerminationSet();
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, [this] {
    signalfd_siginfo info;
    bool received = false;
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) received = true;
    if (received && handler_) handler_();
  });
}

TerminationSignals::~TerminationSignals() {
  notifier_.reset();
  if (fd_ >= 0) close(fd_);
}

}  // namespace korvid
