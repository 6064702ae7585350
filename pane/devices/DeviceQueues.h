// SPDX-License-Identifier: MIT
// The pane's device work, one queue per mouse. A mouse's jobs run one at a time, in the
// order they were queued, on an executor (in the settings window a worker thread, so the
// window never waits on the mouse); each job's result is handled back on the pane's thread
// before the mouse's next job starts. A newer DPI job replaces an older one of the same
// mouse that has not started yet; cancelling a mouse drops its jobs that have not started
// and the result of the one that has.
#pragma once

#include <QObject>
#include <QThread>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "platform/usb/UsbDeviceInterface.h"

namespace korvid {

// Runs `work` away from the caller and then `done` on the caller's thread.
class DeviceExecutor {
 public:
  virtual ~DeviceExecutor() = default;
  virtual void Execute(std::function<void()> work, std::function<void()> done) = 0;
};

// Runs both at once, inside Execute (programs and tests without a worker).
class InlineDeviceExecutor final : public DeviceExecutor {
 public:
  void Execute(std::function<void()> work, std::function<void()> done) override {
    work();
    done();
  }
};

// One worker thread; results come back through the caller's Qt event loop.
class ThreadedDeviceExecutor final : public DeviceExecutor {
 public:
  ThreadedDeviceExecutor();
  // Waits for the job that runs; jobs not started are dropped, no result is handled.
  ~ThreadedDeviceExecutor() override;
  void Execute(std::function<void()> work, std::function<void()> done) override;

 private:
  QThread thread_;
  QObject* worker_ = nullptr;  // lives in thread_
  std::unique_ptr<QObject> home_;  // lives in the caller's thread; receives the results
};

class DeviceQueues {
 public:
  enum class Kind { kRead, kWrite, kDpi };
  // Told when a mouse's queue becomes busy or idle.
  using BusyHandler = std::function<void(const UsbDeviceInterface* device, bool busy, Kind kind)>;

  explicit DeviceQueues(std::unique_ptr<DeviceExecutor> executor = std::make_unique<InlineDeviceExecutor>())
      : executor_(std::move(executor)) {}
  // Another executor; only while no job runs.
  void SetExecutor(std::unique_ptr<DeviceExecutor> executor) {
    if (Idle() && executor) executor_ = std::move(executor);
  }

  // Queues `work` (device I/O only) and `done` (runs on the caller's thread) for `device`.
  void Enqueue(const std::shared_ptr<UsbDeviceInterface>& device, Kind kind, std::function<void()> work,
               std::function<void()> done);
  // Drops the mouse's jobs that have not started and the result of the one that runs.
  void Cancel(const UsbDeviceInterface* device);
  bool Busy(const UsbDeviceInterface* device) const;
  // The kind of the job that runs now for `device` (kRead when none runs).
  Kind Running(const UsbDeviceInterface* device) const;
  bool Idle() const { return queues_.empty(); }
  void OnBusyChanged(BusyHandler handler) { onBusy_ = std::move(handler); }

 private:
  struct Job {
    Kind kind;
    std::function<void()> work;
    std::function<void()> done;
  };
  struct Queue {
    std::shared_ptr<UsbDeviceInterface> device;  // kept until the running job is over
    std::deque<Job> waiting;
    Kind running = Kind::kRead;
    bool cancelled = false;
  };
  void StartNext(const UsbDeviceInterface* key);

  std::unique_ptr<DeviceExecutor> executor_;
  std::map<const UsbDeviceInterface*, Queue> queues_;  // a mouse with a running job
  BusyHandler onBusy_;
};

}  // namespace korvid
