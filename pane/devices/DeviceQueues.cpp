// SPDX-License-Identifier: MIT
#include "pane/devices/DeviceQueues.h"

#include <QMetaObject>
#include <algorithm>

namespace korvid {

ThreadedDeviceExecutor::ThreadedDeviceExecutor() : home_(std::make_unique<QObject>()) {
  thread_.setObjectName(QStringLiteral("korvid-device"));
  worker_ = new QObject;
  worker_->moveToThread(&thread_);
  thread_.start();
}

ThreadedDeviceExecutor::~ThreadedDeviceExecutor() {
  thread_.quit();
  thread_.wait();
  delete worker_;  // its thread has ended
  home_.reset();   // results still on their way are dropped with it
}

void ThreadedDeviceExecutor::Execute(std::function<void()> work, std::function<void()> done) {
  QObject* home = home_.get();
  QMetaObject::invokeMethod(
      worker_,
      [work = std::move(work), done = std::move(done), home]() {
        work();
        QMetaObject::invokeMethod(home, done, Qt::QueuedConnection);
      },
      Qt::QueuedConnection);
}

void DeviceQueues::Enqueue(const std::shared_ptr<UsbDeviceInterface>& device, Kind kind, std::function<void()> work,
                           std::function<void()> done) {
  if (!device) return;
  const UsbDeviceInterface* key = device.get();
  auto found = queues_.find(key);
  if (found != queues_.end()) {
    std::deque<Job>& waiting = found->second.waiting;
    // Only the newest sensitivity matters: one not yet sent gives way to it.
    if (kind == Kind::kDpi) {
      waiting.erase(std::remove_if(waiting.begin(), waiting.end(), [](const Job& job) { return job.kind == Kind::kDpi; }),
                    waiting.end());
    }
    waiting.push_back({kind, std::move(work), std::move(done)});
    return;
  }
  Queue& queue = queues_[key];
  queue.device = device;
  queue.running = kind;
  queue.waiting.push_back({kind, std::move(work), std::move(done)});
  if (onBusy_) onBusy_(key, true, kind);
  StartNext(key);
}

void DeviceQueues::StartNext(const UsbDeviceInterface* key) {
  auto found = queues_.find(key);
  if (found == queues_.end()) return;
  Queue& queue = found->second;
  if (queue.waiting.empty()) {
    queues_.erase(found);
    if (onBusy_) onBusy_(key, false, Kind::kRead);
    return;
  }
  Job job = std::move(queue.waiting.front());
  queue.waiting.pop_front();
  const Kind previous = queue.running;
  queue.running = job.kind;
  queue.cancelled = false;
  if (previous != job.kind && onBusy_) onBusy_(key, true, job.kind);
  // The executor may run the job and its result at once (inline), which may queue more.
  executor_->Execute(std::move(job.work), [this, key, done = std::move(job.done)] {
    auto running = queues_.find(key);
    if (running == queues_.end()) return;
    if (!running->second.cancelled && done) done();
    StartNext(key);
  });
}

void DeviceQueues::Cancel(const UsbDeviceInterface* device) {
  auto found = queues_.find(device);
  if (found == queues_.end()) return;
  found->second.waiting.clear();
  found->second.cancelled = true;
}

bool DeviceQueues::Busy(const UsbDeviceInterface* device) const { return queues_.count(device) != 0; }

DeviceQueues::Kind DeviceQueues::Running(const UsbDeviceInterface* device) const {
  auto found = queues_.find(device);
  return found == queues_.end() ? Kind::kRead : found->second.running;
}

}  // namespace korvid
