// SPDX-License-Identifier: MIT
// DriverWatcher over the driver daemon's runtime folder: inotify tells of driver sockets
// that appear (a first match) or vanish (termination); each connection's socket is
// watched for the daemon's termination message or its end. Everything runs on the Qt
// main loop through QSocketNotifier; nothing polls.
//
// When the runtime folder does not exist yet (no daemon has run), its parent is watched
// until it appears; when it goes away again, the watcher waits for it anew.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "driver/client/DriverClient.h"
#include "driver/client/DriverWatcher.h"

namespace korvid {

class InotifyDriverWatcher final : public DriverWatcher {
 public:
  // Longest wait for a driver's answer, so a hung driver cannot freeze the caller.
  static constexpr int kDefaultCallTimeoutMs = 250;

  explicit InotifyDriverWatcher(std::string runtimeDir = driverproto::kDefaultRuntimeDir,
                                int callTimeoutMs = kDefaultCallTimeoutMs);
  ~InotifyDriverWatcher() override;
  InotifyDriverWatcher(const InotifyDriverWatcher&) = delete;
  InotifyDriverWatcher& operator=(const InotifyDriverWatcher&) = delete;

  IOReturn Start(ServiceHandler matched, ServiceHandler terminated) override;
  void Stop() override;
  IOReturn Open(const std::string& service, std::uint32_t type, io_connect_t& connection) override;
  IOReturn AddInterestNotification(io_connect_t connection, MessageHandler handler,
                                   io_object_t& notification) override;
  IOReturn ReleaseNotification(io_object_t notification) override;
  IOReturn CallScalarMethod(io_connect_t connection, std::uint32_t selector, std::span<const std::uint64_t> inputs,
                            std::span<std::uint64_t> outputs) override;
  IOReturn Close(io_connect_t connection) override;

  std::size_t OpenConnections() const { return connections_.size(); }

 private:
  struct Link {
    std::string service;
    std::unique_ptr<DriverConnection> connection;
  };
  struct Interest {
    io_connect_t connection = 0;
    MessageHandler handler;
    std::unique_ptr<QSocketNotifier> notifier;
    bool fired = false;
  };

  bool WatchFolder();        // watches the runtime folder and reports its drivers
  void WatchParent();        // waits for the runtime folder to appear
  void Enumerate();
  void OnInotify();
  void Vanished(const std::string& service);
  void Fire(io_object_t notification);
  void FireLater(io_object_t notification);
  static void Dispose(std::unique_ptr<QSocketNotifier>& notifier);

  std::string dir_;
  std::string parent_;
  std::string leaf_;
  int timeoutMs_;
  bool started_ = false;
  int inotify_ = -1;
  int folderWatch_ = -1;
  int parentWatch_ = -1;
  std::unique_ptr<QSocketNotifier> inotifyNotifier_;
  ServiceHandler matched_;
  ServiceHandler terminated_;
  std::set<std::string> present_;
  std::map<io_connect_t, Link> connections_;
  io_connect_t nextConnection_ = 1;
  std::map<io_object_t, Interest> interests_;
  io_object_t nextNotification_ = 1;
  QObject context_;  // queued deliveries die with the watcher
};

}  // namespace korvid
