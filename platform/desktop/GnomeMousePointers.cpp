// SPDX-License-Identifier: MIT
// gio first: its headers use names (signals) that Qt's headers would turn into macros.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>

#include "platform/desktop/GnomeMousePointers.h"

namespace korvid {

struct GnomeMousePointers::Settings {
  explicit Settings(GSettings* settings) : object(settings) {}
  ~Settings() { g_object_unref(object); }
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;
  GSettings* object;
};

GnomeMousePointers::GnomeMousePointers(const std::string& schemaDirectory) {
  GSettingsSchemaSource* source = nullptr;
  if (schemaDirectory.empty()) {
    source = g_settings_schema_source_get_default();  // null when no schema is installed at all
    if (source != nullptr) g_settings_schema_source_ref(source);
  } else {
    source = g_settings_schema_source_new_from_directory(schemaDirectory.c_str(), nullptr, TRUE, nullptr);
  }
  if (source == nullptr) return;
  // Looked up first: GSettings aborts the process on a schema it does not have.
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, kGnomeMouseSchema, TRUE);
  g_settings_schema_source_unref(source);
  if (schema == nullptr) return;
  if (g_settings_schema_has_key(schema, kGnomeAccelProfileKey)) {
    GSettingsBackend* backend = schemaDirectory.empty() ? nullptr : g_memory_settings_backend_new();
    settings_ = std::make_unique<Settings>(g_settings_new_full(schema, backend, nullptr));
    if (backend != nullptr) g_object_unref(backend);
  }
  g_settings_schema_unref(schema);
}

GnomeMousePointers::~GnomeMousePointers() = default;

DesktopPointerState GnomeMousePointers::Read() {
  DesktopPointerState state{"GNOME", DesktopAcceleration::kUnknown, false};
  if (!settings_) return state;
  gchar* profile = g_settings_get_string(settings_->object, kGnomeAccelProfileKey);
  state.acceleration =
      g_strcmp0(profile, "flat") == 0 ? DesktopAcceleration::kFlat : DesktopAcceleration::kStacked;
  g_free(profile);
  state.globalSettingOnly = true;
  return state;
}

OSStatus GnomeMousePointers::SetGlobalProfileFlat() {
  if (!settings_) return paramErr;
  if (!g_settings_set_string(settings_->object, kGnomeAccelProfileKey, "flat")) return ioErr;
  g_settings_sync();
  return noErr;
}

}  // namespace korvid
