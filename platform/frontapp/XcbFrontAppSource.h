// SPDX-License-Identifier: MIT
// FrontAppSource over an X11 display through xcb: watches the root window's
// _NET_ACTIVE_WINDOW property (set by the window manager) on the Qt main loop. Without a
// display (no DISPLAY, or the connection fails) it reports no switches.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

#include "platform/frontapp/FrontAppSource.h"

struct xcb_connection_t;

namespace korvid {

class XcbFrontAppSource final : public FrontAppSource {
 public:
  // `display` null means $DISPLAY.
  explicit XcbFrontAppSource(const char* display = nullptr);
  ~XcbFrontAppSource() override;
  XcbFrontAppSource(const XcbFrontAppSource&) = delete;
  XcbFrontAppSource& operator=(const XcbFrontAppSource&) = delete;

  bool Connected() const { return connection_ != nullptr; }

  // connectionInvalid without a display.
  OSStatus InstallFrontSwitchHandler(std::function<void()> handler) override;
  std::optional<std::string> ActiveBundleIdentifier() override;

 private:
  void OnReadable();
  void Disconnect();

  xcb_connection_t* connection_ = nullptr;
  std::uint32_t root_ = 0;
  std::uint32_t activeWindowAtom_ = 0;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> handler_;
  QObject context_;
};

}  // namespace korvid
