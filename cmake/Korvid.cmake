# SPDX-License-Identifier: MIT
# Helpers shared by every folder's CMakeLists.txt.

# korvid_add_test(NAME SOURCES... [LIBS libs...] [ENV VAR=value...] [WRAPPER cmd...] [PROCESSES])
# Builds one GoogleTest executable and registers its tests with CTest.
# WRAPPER runs the test binary under a command (umockdev-wrapper, dbus-run-session...).
# PROCESSES marks tests that start real processes of our programs' names and find them by
# name: no two such tests run at once, or one could find the other's process.
function(korvid_add_test name)
  cmake_parse_arguments(T "PROCESSES" "" "SOURCES;LIBS;ENV;WRAPPER;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(props "")
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_PROCESSES)
    list(APPEND props RESOURCE_LOCK korvid-named-processes)
  endif()
  if(T_WRAPPER)
    # Discovery would run the binary outside its wrapper; register the whole binary instead.
    add_test(NAME ${name} COMMAND ${T_WRAPPER} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES ${props} TIMEOUT 300)
    if(KORVID_SANITIZE)
      # A wrapper that preloads a library (umockdev-wrapper) puts it before the ASan runtime.
      set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT_MODIFICATION
                   "ASAN_OPTIONS=string_append::verify_asan_link_order=0")
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props} TIMEOUT 120)
  endif()
endfunction()

# Install layout: every deliverable is a bundle folder below the install prefix. The
# folder map (platform/files/FolderLocator) and the eraser tool look for them here.
include(GNUInstallDirs)
set(KORVID_EXTENSIONS_DIR lib/korvid/Extensions)
set(KORVID_DRIVER_BUNDLE ${KORVID_EXTENSIONS_DIR}/KorvidTessel.kext)
set(KORVID_PANES_DIR lib/korvid/PreferencePanes)
set(KORVID_PANE_BUNDLE "${KORVID_PANES_DIR}/Korvid Tessel.prefPane")
set(KORVID_PANE_RESOURCES "${KORVID_PANE_BUNDLE}/Resources")
# The helper is a folder "KorvidTesselHelper.app" holding the executable of the same name.
set(KORVID_HELPER_BUNDLE "${KORVID_PANE_RESOURCES}/KorvidTesselHelper.app")
set(KORVID_APPLICATIONS_DIR lib/korvid/Applications)
set(KORVID_UNINSTALLER_BUNDLE "${KORVID_APPLICATIONS_DIR}/Utilities/Uninstall Korvid Tessel.app")
set(KORVID_UNINSTALLER_RESOURCES "${KORVID_UNINSTALLER_BUNDLE}/Resources")
set(KORVID_RECEIPTS_DIR /var/lib/korvid/receipts)
