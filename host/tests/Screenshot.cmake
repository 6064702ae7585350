# SPDX-License-Identifier: MIT
# Runs the settings window with the simulated mouse on a virtual X display, saves a picture
# of it, and checks that the picture was made.
file(REMOVE "${PICTURE}" "${STATE}")
# The program writes the user's login items and settings: keep them in the build folder.
get_filename_component(here "${PICTURE}" DIRECTORY)
set(ENV{XDG_CONFIG_HOME} "${here}/screenshot-config")
set(ENV{XDG_STATE_HOME} "${here}/screenshot-state")
# Under the sanitizers: the X11 libraries hold memory until exit and libxkbcommon-x11
# strndup()s counted, unterminated names, which the strict string check misreads; the
# program's own code is checked in process by the pane's tests.
if(DEFINED ENV{ASAN_OPTIONS})
  set(ENV{ASAN_OPTIONS} "$ENV{ASAN_OPTIONS}:detect_leaks=0:strict_string_checks=0")
endif()
execute_process(
  COMMAND "${XVFB_RUN}" -a -s "-screen 0 1024x768x24"
          "${PROGRAM}" --simulated --simulated-state "${STATE}" --screenshot "${PICTURE}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out ERROR_VARIABLE err
  TIMEOUT 100)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "korvid-tessel-settings failed (${result}):\n${out}\n${err}")
endif()
if(NOT EXISTS "${PICTURE}")
  message(FATAL_ERROR "no picture was written:\n${out}\n${err}")
endif()
file(SIZE "${PICTURE}" size)
if(size LESS 2000)
  message(FATAL_ERROR "the picture is suspiciously small (${size} bytes)")
endif()
message(STATUS "picture of the window: ${PICTURE}")
