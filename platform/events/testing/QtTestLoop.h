// SPDX-License-Identifier: MIT
// The Qt side of tests with real processes: the test program's one application object,
// and a bounded wait on its loop.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <functional>

#include "platform/events/testing/BusFixtures.h"

namespace korvid::testing {

// The program's QCoreApplication, made at first use and kept to the end (objects of the
// tests may outlive any scope that could own it).
inline QCoreApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "korvid-tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* application = new QCoreApplication(argc, argv);
  return *application;
}

// Runs the Qt loop until `done` holds (checked after every batch of events) or the limit
// passes; whether it holds.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs = kGenerousWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents, 100);
  }
  return done();
}

}  // namespace korvid::testing
