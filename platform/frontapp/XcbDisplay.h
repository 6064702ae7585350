// SPDX-License-Identifier: MIT
// What every xcb client of ours starts with: a connection to the display's screen, and
// replies owned as xcb hands them out (one malloc'd block each).
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace korvid {

template <typename T>
struct FreeReply {
  void operator()(T* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

// Connects to `display` (null: $DISPLAY) and finds its screen's root window. Null, with no
// connection left open, when there is no display or it cannot be reached.
inline xcb_connection_t* ConnectToDisplay(const char* display, xcb_window_t& root) {
  const char* name = display != nullptr ? display : std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return nullptr;
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(name, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) {
    xcb_disconnect(connection);
    return nullptr;
  }
  root = screens.data->root;
  return connection;
}

}  // namespace korvid
