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

# korvid_add_testing_library(NAME <add_library arguments>...)
# A library of fakes and test support, kept in a testing/ folder beside the interface it
# stands in for. Only tests, benchmarks and the test machines' programs link it; the
# check below keeps it out of every product program and library.
function(korvid_add_testing_library name)
  add_library(${name} ${ARGN})
  set_property(GLOBAL APPEND PROPERTY KORVID_TESTING_LIBRARIES ${name})
endfunction()

# Targets of `dir` and of every folder below it.
function(korvid_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    korvid_targets_below(${subdir} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Fails the configuration when a product target (one outside tests/, testing/, bench/,
# fuzz/ and the test machines' folders) links a testing library, directly or through another
# library, or compiles a source kept in a testing/ folder.
function(korvid_check_products_carry_no_fakes)
  get_property(testing GLOBAL PROPERTY KORVID_TESTING_LIBRARIES)
  korvid_targets_below(${PROJECT_SOURCE_DIR} targets)
  set(test_only_dirs "/(tests|testing|bench|fuzz|kernel-tests|system-tests)(/|$)")
  foreach(target ${targets})
    get_target_property(dir ${target} SOURCE_DIR)
    file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR} ${dir})
    if("/${dir}" MATCHES "${test_only_dirs}")
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    foreach(source ${sources})
      if(source MATCHES "(^|/)testing/")
        message(FATAL_ERROR "${target} is product code but compiles ${source}, test support")
      endif()
    endforeach()
    # Walk the link graph.
    set(seen "")
    set(pending ${target})
    while(pending)
      list(POP_FRONT pending current)
      if(current IN_LIST seen OR NOT TARGET ${current})
        continue()
      endif()
      list(APPEND seen ${current})
      if(current IN_LIST testing)
        message(FATAL_ERROR "${target} is product code but links ${current}, a testing library")
      endif()
      get_target_property(type ${current} TYPE)
      set(links "")
      if(NOT type STREQUAL "INTERFACE_LIBRARY")
        get_target_property(direct ${current} LINK_LIBRARIES)
        if(direct)
          list(APPEND links ${direct})
        endif()
      endif()
      get_target_property(usage ${current} INTERFACE_LINK_LIBRARIES)
      if(usage)
        list(APPEND links ${usage})
      endif()
      foreach(link ${links})
        # Static libraries' private links appear as $<LINK_ONLY:name>.
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
        list(APPEND pending ${link})
      endforeach()
    endwhile()
  endforeach()
endfunction()
