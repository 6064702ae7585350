// SPDX-License-Identifier: MIT
#include "platform/frontapp/XcbFrontAppSource.h"
#include "platform/frontapp/XcbDisplay.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace korvid {

namespace {

xcb_atom_t InternAtom(xcb_connection_t* connection, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

}  // namespace

XcbFrontAppSource::XcbFrontAppSource(const char* display) {
  connection_ = ConnectToDisplay(display, root_);
  if (connection_ == nullptr) return;
  activeWindowAtom_ = InternAtom(connection_, "_NET_ACTIVE_WINDOW");
  if (activeWindowAtom_ == static_cast<xcb_atom_t>(XCB_ATOM_NONE)) {
    Disconnect();
    return;
  }
  // Other clients' property changes on the root window: among them the active window.
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
  // A round trip: from here on, no switch goes unseen.
  std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

XcbFrontAppSource::~XcbFrontAppSource() {
  notifier_.reset();  // not inside its signal here, and no loop may run again
  Disconnect();
}

void XcbFrontAppSource::Disconnect() {
  if (notifier_) {
    notifier_->setEnabled(false);
    notifier_.release()->deleteLater();
  }
  if (connection_ != nullptr) xcb_disconnect(connection_);
  connection_ = nullptr;
}

OSStatus XcbFrontAppSource::InstallFrontSwitchHandler(std::function<void()> handler) {
  if (connection_ == nullptr) return connectionInvalid;
  handler_ = std::move(handler);
  if (!notifier_) {
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, [this] { OnReadable(); });
  }
  // Events read while waiting for earlier replies are already queued.
  QMetaObject::invokeMethod(&context_, [this] { OnReadable(); }, Qt::QueuedConnection);
  return noErr;
}

void XcbFrontAppSource::OnReadable() {
  while (connection_ != nullptr) {
    Reply<xcb_generic_event_t> event(xcb_poll_for_event(connection_));
    if (!event) break;
    if ((event->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) continue;
    const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
    if (property->window != root_ || property->atom != activeWindowAtom_) continue;
    // The handler's own requests may queue more events; the loop takes them too.
    if (handler_) handler_();
  }
  if (connection_ != nullptr && xcb_connection_has_error(connection_)) Disconnect();  // the display went away
}

std::optional<std::string> XcbFrontAppSource::ActiveBundleIdentifier() {
  if (connection_ == nullptr) return std::nullopt;
  Reply<xcb_get_property_reply_t> active(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, root_, activeWindowAtom_, XCB_ATOM_WINDOW, 0, 1), nullptr));
  if (!active || active->format != 32 || xcb_get_property_value_length(active.get()) < 4) return std::nullopt;
  xcb_window_t window = 0;
  std::memcpy(&window, xcb_get_property_value(active.get()), sizeof window);
  if (window == XCB_WINDOW_NONE) return std::nullopt;
  // WM_CLASS holds two NUL-ended strings: the instance name, then the class name.
  Reply<xcb_get_property_reply_t> wmClass(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr));
  if (!wmClass || wmClass->format != 8) return std::nullopt;
  const int length = xcb_get_property_value_length(wmClass.get());
  if (length <= 0) return std::nullopt;
  const char* bytes = static_cast<const char*>(xcb_get_property_value(wmClass.get()));
  const std::string_view value(bytes, static_cast<std::size_t>(length));
  const auto instanceEnd = value.find('\0');
  if (instanceEnd == std::string_view::npos) return std::nullopt;
  std::string_view className = value.substr(instanceEnd + 1);
  className = className.substr(0, className.find('\0'));
  if (className.empty()) return std::nullopt;
  return std::string(className);
}

}  // namespace korvid
