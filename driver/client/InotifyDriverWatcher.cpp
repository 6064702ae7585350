// SPDX-License-Identifier: MIT
#include "driver/client/InotifyDriverWatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace korvid {

namespace {
constexpr std::uint32_t kFolderMask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                                      IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kParentMask = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

std::string ServiceName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

InotifyDriverWatcher::InotifyDriverWatcher(std::string runtimeDir, int callTimeoutMs)
    : dir_(std::move(runtimeDir)), timeoutMs_(callTimeoutMs) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  const auto slash = dir_.rfind('/');
  parent_ = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir_.substr(0, slash));
  leaf_ = slash == std::string::npos ? dir_ : dir_.substr(slash + 1);
}

InotifyDriverWatcher::~InotifyDriverWatcher() {
  // Not inside a notifier's signal here: delete at once, as no loop may run again.
  inotifyNotifier_.reset();
  for (auto& [id, interest] : interests_) interest.notifier.reset();
  Stop();
  for (auto& [handle, link] : connections_) link.connection->Close(timeoutMs_);
}

IOReturn InotifyDriverWatcher::Start(ServiceHandler matched, ServiceHandler terminated) {
  if (started_) return kIOReturnExclusiveAccess;
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0) return kIOReturnNoResources;
  started_ = true;
  matched_ = std::move(matched);
  terminated_ = std::move(terminated);
  inotifyNotifier_ = std::make_unique<QSocketNotifier>(inotify_, QSocketNotifier::Read);
  QObject::connect(inotifyNotifier_.get(), &QSocketNotifier::activated, &context_, [this] { OnInotify(); });
  if (!WatchFolder()) WatchParent();
  return kIOReturnSuccess;
}

void InotifyDriverWatcher::Stop() {
  if (!started_) return;
  started_ = false;
  Dispose(inotifyNotifier_);
  close(inotify_);
  inotify_ = folderWatch_ = parentWatch_ = -1;
  for (auto& [id, interest] : interests_) Dispose(interest.notifier);
  interests_.clear();
  present_.clear();
}

bool InotifyDriverWatcher::WatchFolder() {
  folderWatch_ = inotify_add_watch(inotify_, dir_.c_str(), kFolderMask);
  if (folderWatch_ < 0) return false;
  if (parentWatch_ >= 0) {
    inotify_rm_watch(inotify_, parentWatch_);
    parentWatch_ = -1;
  }
  Enumerate();
  return true;
}

void InotifyDriverWatcher::WatchParent() {
  if (parentWatch_ >= 0) return;
  parentWatch_ = inotify_add_watch(inotify_, parent_.c_str(), kParentMask);
  // The folder may have appeared between the two attempts.
  if (WatchFolder()) return;
}

void InotifyDriverWatcher::Enumerate() {
  for (const std::string& path : ListDriverSockets(dir_)) {
    const std::string service = ServiceName(path);
    if (!started_) return;  // a handler stopped us
    if (present_.insert(service).second && matched_) matched_(service);
  }
}

void InotifyDriverWatcher::OnInotify() {
  alignas(inotify_event) char buffer[8192];
  std::vector<std::pair<bool, std::string>> changes;  // (appeared, service)
  bool folderGone = false;
  bool folderBack = false;
  bool rescan = false;  // events were lost: compare the folder with what we know
  for (;;) {
    const ssize_t got = read(inotify_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t offset = 0; offset < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name = event->len ? std::string(event->name) : std::string();
      if (event->mask & IN_Q_OVERFLOW) {
        rescan = true;
      } else if (event->wd == folderWatch_ && folderWatch_ >= 0) {
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          folderGone = true;
        } else if (driverproto::IsDriverSocketName(name)) {
          changes.emplace_back((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0, name);
        }
      } else if (event->wd == parentWatch_ && parentWatch_ >= 0 && name == leaf_) {
        folderBack = true;
      }
    }
  }
  for (const auto& [appeared, service] : changes) {
    if (!started_) return;
    if (appeared) {
      if (present_.insert(service).second && matched_) matched_(service);
    } else {
      Vanished(service);
    }
  }
  if (!started_) return;
  if (folderGone) {
    if (folderWatch_ >= 0) inotify_rm_watch(inotify_, folderWatch_);
    folderWatch_ = -1;
    const std::set<std::string> gone = present_;
    for (const std::string& service : gone) Vanished(service);
    if (started_) WatchParent();
  } else if (folderBack && folderWatch_ < 0) {
    WatchFolder();
  } else if (rescan && folderWatch_ >= 0) {
    std::set<std::string> now;
    for (const std::string& path : ListDriverSockets(dir_)) now.insert(ServiceName(path));
    const std::set<std::string> known = present_;
    for (const std::string& service : known) {
      if (started_ && now.count(service) == 0) Vanished(service);
    }
    for (const std::string& service : now) {
      if (started_ && present_.insert(service).second && matched_) matched_(service);
    }
  }
}

void InotifyDriverWatcher::Vanished(const std::string& service) {
  if (present_.erase(service) == 0) return;
  for (auto& [id, interest] : interests_) {
    const auto link = connections_.find(interest.connection);
    if (link != connections_.end() && link->second.service == service) FireLater(id);
  }
  if (terminated_) terminated_(service);
}

IOReturn InotifyDriverWatcher::Open(const std::string& service, std::uint32_t type, io_connect_t& connection) {
  connection = 0;
  if (!driverproto::IsDriverSocketName(service)) return kIOReturnBadArgument;
  std::unique_ptr<DriverConnection> link;
  const IOReturn status = DriverConnection::Open(dir_ + "/" + service, type, link, timeoutMs_);
  if (status != kIOReturnSuccess) return status;
  while (connections_.count(nextConnection_) != 0 || nextConnection_ == 0) ++nextConnection_;
  connection = nextConnection_++;
  connections_[connection] = Link{service, std::move(link)};
  return kIOReturnSuccess;
}

IOReturn InotifyDriverWatcher::AddInterestNotification(io_connect_t connection, MessageHandler handler,
                                                       io_object_t& notification) {
  notification = 0;
  const auto link = connections_.find(connection);
  if (link == connections_.end() || !handler) return kIOReturnBadArgument;
  if (!started_) return kIOReturnNotOpen;
  while (interests_.count(nextNotification_) != 0 || nextNotification_ == 0) ++nextNotification_;
  const io_object_t id = nextNotification_++;
  Interest& interest = interests_[id];
  interest.connection = connection;
  interest.handler = std::move(handler);
  DriverConnection& driver = *link->second.connection;
  if (driver.Terminated() || present_.count(link->second.service) == 0) {
    FireLater(id);
  } else {
    interest.notifier = std::make_unique<QSocketNotifier>(driver.Fd(), QSocketNotifier::Read);
    QObject::connect(interest.notifier.get(), &QSocketNotifier::activated, &context_, [this, id, &driver] {
      if (driver.CheckTerminated()) Fire(id);
    });
  }
  notification = id;
  return kIOReturnSuccess;
}

IOReturn InotifyDriverWatcher::ReleaseNotification(io_object_t notification) {
  const auto it = interests_.find(notification);
  if (it == interests_.end()) return kIOReturnBadArgument;
  Dispose(it->second.notifier);
  interests_.erase(it);
  return kIOReturnSuccess;
}

void InotifyDriverWatcher::FireLater(io_object_t notification) {
  QMetaObject::invokeMethod(&context_, [this, notification] { Fire(notification); }, Qt::QueuedConnection);
}

void InotifyDriverWatcher::Fire(io_object_t notification) {
  const auto it = interests_.find(notification);
  if (it == interests_.end() || it->second.fired) return;
  it->second.fired = true;
  if (it->second.notifier) it->second.notifier->setEnabled(false);
  const MessageHandler handler = it->second.handler;  // the handler may release it
  handler(kIOMessageServiceIsTerminated);
}

void InotifyDriverWatcher::Dispose(std::unique_ptr<QSocketNotifier>& notifier) {
  if (!notifier) return;
  notifier->setEnabled(false);
  // It may be the notifier whose signal is being delivered right now.
  notifier.release()->deleteLater();
}

IOReturn InotifyDriverWatcher::CallScalarMethod(io_connect_t connection, std::uint32_t selector,
                                                std::span<const std::uint64_t> inputs,
                                                std::span<std::uint64_t> outputs) {
  for (auto& output : outputs) output = 0;
  const auto link = connections_.find(connection);
  if (link == connections_.end()) return kIOReturnBadArgument;
  return link->second.connection->CallScalarMethod(selector, inputs, outputs, timeoutMs_);
}

IOReturn InotifyDriverWatcher::Close(io_connect_t connection) {
  const auto link = connections_.find(connection);
  if (link == connections_.end()) return kIOReturnBadArgument;
  // Notifications on a closed descriptor would never end.
  for (auto it = interests_.begin(); it != interests_.end();) {
    if (it->second.connection == connection) {
      Dispose(it->second.notifier);
      it = interests_.erase(it);
    } else {
      ++it;
    }
  }
  const IOReturn status = link->second.connection->Close(timeoutMs_);
  connections_.erase(link);
  return status;
}

}  // namespace korvid
