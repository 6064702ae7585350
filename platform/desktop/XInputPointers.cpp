// SPDX-License-Identifier: MIT
#include "platform/desktop/XInputPointers.h"
#include "platform/frontapp/XcbDisplay.h"

#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/Identity.h"

namespace korvid {

namespace xinput {

bool IsTesselProductId(std::span<const std::uint32_t> ids) {
  return ids.size() == 2 && ids[0] == kTesselVendorID && ids[1] == kTesselProductID;
}

std::optional<std::vector<std::uint8_t>> FlatProfile(std::span<const std::uint8_t> enabled) {
  if (enabled.size() < 2 || enabled.size() > 3) return std::nullopt;
  std::vector<std::uint8_t> flat(enabled.size(), 0);
  flat[1] = 1;
  return flat;
}

bool IsFlatAtZero(std::span<const std::uint8_t> enabled, float speed) {
  const auto flat = FlatProfile(enabled);
  return flat && std::equal(enabled.begin(), enabled.end(), flat->begin()) && speed == 0.0f;
}

}  // namespace xinput

namespace {

// The reply to request `sequence`, awaited for kDesktopReplyTimeoutMs at most; null on an
// error, a broken connection or no answer in time (the late reply is then thrown away).
template <typename T>
Reply<T> Await(xcb_connection_t* connection, unsigned int sequence) {
  xcb_flush(connection);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDesktopReplyTimeoutMs);
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection, sequence, &reply, &error) != 0) {
      std::free(error);
      return Reply<T>(static_cast<T*>(reply));
    }
    if (xcb_connection_has_error(connection)) return nullptr;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      xcb_discard_reply(connection, sequence);
      return nullptr;
    }
    pollfd readable{xcb_get_file_descriptor(connection), POLLIN, 0};
    poll(&readable, 1, static_cast<int>(left.count()));
  }
}

constexpr const char kXInputExtension[] = "XInputExtension";

}  // namespace

XInputPointers::XInputPointers(const char* display, DesktopLog log) : log_(std::move(log)) {
  connection_ = ConnectToDisplay(display, root_);
  if (connection_ == nullptr) return;

  // The extension first, with a bounded wait: the xinput requests below look it up again
  // (answered at once by then) and need it present.
  Reply<xcb_query_extension_reply_t> extension(Await<xcb_query_extension_reply_t>(
      connection_, xcb_query_extension(connection_, sizeof kXInputExtension - 1, kXInputExtension).sequence));
  if (!extension || extension->present == 0) {
    Disconnect();
    return;
  }
  xinputOpcode_ = extension->major_opcode;
  Reply<xcb_input_xi_query_version_reply_t> version(
      Await<xcb_input_xi_query_version_reply_t>(connection_, xcb_input_xi_query_version(connection_, 2, 2).sequence));
  if (!version || version->major_version < 2) {
    Disconnect();
    return;
  }

  const char* names[] = {"Device Product ID", "libinput Accel Profile Enabled", "libinput Accel Speed", "FLOAT"};
  std::uint32_t* atoms[] = {&productIdAtom_, &profileAtom_, &speedAtom_, &floatAtom_};
  xcb_intern_atom_cookie_t cookies[4];
  for (int i = 0; i < 4; ++i) {
    cookies[i] = xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
  }
  for (int i = 0; i < 4; ++i) {
    Reply<xcb_intern_atom_reply_t> atom(Await<xcb_intern_atom_reply_t>(connection_, cookies[i].sequence));
    if (!atom) {
      Disconnect();
      return;
    }
    *atoms[i] = atom->atom;
  }
}

XInputPointers::~XInputPointers() {
  notifier_.reset();  // not inside its signal here, and no loop may run again
  Disconnect();
}

void XInputPointers::Disconnect() {
  if (notifier_) {
    notifier_->setEnabled(false);
    notifier_.release()->deleteLater();
  }
  if (connection_ != nullptr) xcb_disconnect(connection_);
  connection_ = nullptr;
}

std::optional<std::vector<XInputPointers::DeviceInfo>> XInputPointers::SlavePointers(std::uint16_t which) {
  Reply<xcb_input_xi_query_device_reply_t> reply(
      Await<xcb_input_xi_query_device_reply_t>(connection_, xcb_input_xi_query_device(connection_, which).sequence));
  if (!reply) return std::nullopt;
  std::vector<DeviceInfo> pointers;
  for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem > 0; xcb_input_xi_device_info_next(&it)) {
    if (it.data->type != XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER) continue;
    pointers.push_back({it.data->deviceid, std::string(xcb_input_xi_device_info_name(it.data), it.data->name_len)});
  }
  return pointers;
}

std::optional<XInputPointers::Property> XInputPointers::GetProperty(std::uint16_t device, std::uint32_t property) {
  // 16 units of 4 bytes: far more than the properties read here hold.
  Reply<xcb_input_xi_get_property_reply_t> reply(Await<xcb_input_xi_get_property_reply_t>(
      connection_, xcb_input_xi_get_property(connection_, device, 0, property, XCB_ATOM_ANY, 0, 16).sequence));
  if (!reply) return std::nullopt;
  Property value;
  value.type = reply->type;
  value.format = reply->format;
  value.items = reply->num_items;
  if (value.type == XCB_ATOM_NONE || (value.format != 8 && value.format != 16 && value.format != 32)) {
    return Property{};
  }
  const auto* bytes = static_cast<const std::uint8_t*>(xcb_input_xi_get_property_items(reply.get()));
  value.bytes.assign(bytes, bytes + static_cast<std::size_t>(value.items) * (value.format / 8));
  return value;
}

PointerState XInputPointers::StateOf(std::uint16_t device) {
  const auto product = GetProperty(device, productIdAtom_);
  if (!product) return PointerState::kNoAnswer;
  if (product->format != 32) return PointerState::kNotOurs;
  std::vector<std::uint32_t> ids(product->items);
  std::memcpy(ids.data(), product->bytes.data(), product->bytes.size());
  if (!xinput::IsTesselProductId(ids)) return PointerState::kNotOurs;

  const auto profile = GetProperty(device, profileAtom_);
  const auto speed = GetProperty(device, speedAtom_);
  if (!profile || !speed) return PointerState::kNoAnswer;
  // Without libinput's properties the device is not libinput's: it has no curve of libinput's.
  if (profile->format != 8 || speed->format != 32 || speed->type != floatAtom_ || speed->items != 1) {
    return PointerState::kNotOurs;
  }
  float value = 0;
  std::memcpy(&value, speed->bytes.data(), sizeof value);
  return xinput::IsFlatAtZero(profile->bytes, value) ? PointerState::kFlat : PointerState::kStacked;
}

bool XInputPointers::MakeFlat(std::uint16_t device) {
  const auto profile = GetProperty(device, profileAtom_);
  if (!profile || profile->format != 8) return false;
  const auto flat = xinput::FlatProfile(profile->bytes);
  if (!flat) return false;
  // The driver checks the type it created the property with; keep it. xcb sends the items
  // padded to 4 bytes, read from our buffer: the buffer has them.
  std::vector<std::uint8_t> items = *flat;
  items.resize((flat->size() + 3) / 4 * 4, 0);
  xcb_input_xi_change_property(connection_, device, XCB_PROP_MODE_REPLACE, 8, profileAtom_, profile->type,
                               static_cast<std::uint32_t>(flat->size()), items.data());
  const float zero = 0.0f;
  xcb_input_xi_change_property(connection_, device, XCB_PROP_MODE_REPLACE, 32, speedAtom_, floatAtom_, 1, &zero);
  // A refused change (a device without the flat profile) leaves the values as they were:
  // reading them back tells.
  return StateOf(device) == PointerState::kFlat;
}

std::string XInputPointers::Describe(const DeviceInfo& device) {
  return "X input device " + std::to_string(device.id) + " \"" + device.name + "\"";
}

DesktopPointerState XInputPointers::Read() {
  DesktopPointerState state{"X11", DesktopAcceleration::kUnknown, false};
  if (connection_ == nullptr) return state;
  const auto pointers = SlavePointers(XCB_INPUT_DEVICE_ALL);
  if (!pointers) return state;
  std::vector<PointerState> states;
  for (const DeviceInfo& pointer : *pointers) states.push_back(StateOf(pointer.id));
  state.acceleration = CombinePointerStates(states);
  return state;
}

OSStatus XInputPointers::Keep() {
  if (connection_ == nullptr) return connectionInvalid;
  if (!notifier_) {
    // Devices coming and going, and property changes, of every device: selected before
    // the first look, so that none comes unseen in between.
    struct {
      xcb_input_event_mask_t head;
      std::uint32_t mask;
    } selection{{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_HIERARCHY | XCB_INPUT_XI_EVENT_MASK_PROPERTY};
    xcb_input_xi_select_events(connection_, root_, 1, &selection.head);
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, [this] { OnReadable(); });
  }
  if (const auto pointers = SlavePointers(XCB_INPUT_DEVICE_ALL)) {
    for (const DeviceInfo& pointer : *pointers) Consider(pointer);
  }
  // Events read while waiting for the replies above are already queued.
  QMetaObject::invokeMethod(&context_, [this] { OnReadable(); }, Qt::QueuedConnection);
  return noErr;
}

void XInputPointers::Consider(const DeviceInfo& device) {
  const PointerState state = StateOf(device.id);
  if (state == PointerState::kNotOurs || state == PointerState::kNoAnswer) return;
  kept_[device.id] = device;
  if (state == PointerState::kFlat) return;
  if (MakeFlat(device.id)) {
    if (log_) log_(NowFlatLine(Describe(device)));
  } else if (log_) {
    log_("could not make the desktop's acceleration flat on " + Describe(device));
  }
}

void XInputPointers::OnReadable() {
  while (connection_ != nullptr) {
    Reply<xcb_generic_event_t> event(xcb_poll_for_event(connection_));
    if (!event) break;
    // Errors (response type 0) of the property changes are told by reading the values back.
    if ((event->response_type & 0x7F) != XCB_GE_GENERIC) continue;
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
    if (generic->extension != xinputOpcode_) continue;
    // What is done here may queue more events; the loop takes them too.
    if (generic->event_type == XCB_INPUT_HIERARCHY) OnHierarchy(event.get());
    if (generic->event_type == XCB_INPUT_PROPERTY) OnProperty(event.get());
  }
  if (connection_ != nullptr && xcb_connection_has_error(connection_)) Disconnect();  // the display went away
}

void XInputPointers::OnHierarchy(const void* data) {
  const auto* event = static_cast<const xcb_input_hierarchy_event_t*>(data);
  const xcb_input_hierarchy_info_t* infos = xcb_input_hierarchy_infos(event);
  const int count = xcb_input_hierarchy_infos_length(event);
  constexpr std::uint32_t kCame = XCB_INPUT_HIERARCHY_MASK_SLAVE_ADDED | XCB_INPUT_HIERARCHY_MASK_DEVICE_ENABLED |
                                  XCB_INPUT_HIERARCHY_MASK_SLAVE_ATTACHED;
  for (int i = 0; i < count; ++i) {
    const xcb_input_hierarchy_info_t& info = infos[i];
    if ((info.flags & XCB_INPUT_HIERARCHY_MASK_SLAVE_REMOVED) != 0) {
      kept_.erase(info.deviceid);
      budget_.Forget(std::to_string(info.deviceid));
      continue;
    }
    if ((info.flags & kCame) == 0 || info.type != XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER) continue;
    if (kept_.count(info.deviceid) != 0) continue;  // seen already (added, then enabled)
    const auto pointers = SlavePointers(info.deviceid);
    if (pointers && !pointers->empty()) Consider(pointers->front());
  }
}

void XInputPointers::OnProperty(const void* data) {
  const auto* event = static_cast<const xcb_input_property_event_t*>(data);
  if (event->property != productIdAtom_ && event->property != profileAtom_ && event->property != speedAtom_) return;
  if (event->what == XCB_INPUT_PROPERTY_FLAG_DELETED) return;
  const auto kept = kept_.find(event->deviceid);
  if (kept == kept_.end()) {
    // A pointer whose identity or libinput settings were given after it came.
    const auto pointers = SlavePointers(event->deviceid);
    if (pointers && !pointers->empty()) Consider(pointers->front());
    return;
  }
  // Our own changes come back here too: they leave the device flat.
  if (StateOf(event->deviceid) != PointerState::kStacked) return;
  const DeviceInfo device = kept->second;
  if (!budget_.Allow(std::to_string(device.id), Describe(device), log_)) return;
  if (!MakeFlat(device.id) && log_) log_("could not make the desktop's acceleration flat on " + Describe(device));
}

}  // namespace korvid
