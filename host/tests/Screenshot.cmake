# SPDX-License-Identifier: MIT
# Runs the settings window on a virtual X display in each state a person meets (every page
# with the simulated mouse, no mouse, a mouse that does not answer, one this account may
# not open), saves a picture of each, and checks that the pictures were made and that the
# run left the user's login items alone.
get_filename_component(here "${PICTURE}" DIRECTORY)
get_filename_component(stem "${PICTURE}" NAME_WE)
# The program writes the user's login items and settings: keep them in the build folder.
set(config "${here}/screenshot-config")
file(REMOVE_RECURSE "${config}")
file(REMOVE "${STATE}")
set(ENV{XDG_CONFIG_HOME} "${config}")
set(ENV{XDG_STATE_HOME} "${here}/screenshot-state")
# Under the sanitizers: the X11 libraries hold memory until exit and libxkbcommon-x11
# strndup()s counted, unterminated names, which the strict string check misreads; the
# program's own code is checked in process by the pane's tests.
if(DEFINED ENV{ASAN_OPTIONS})
  set(ENV{ASAN_OPTIONS} "$ENV{ASAN_OPTIONS}:detect_leaks=0:strict_string_checks=0")
endif()

# name suffix ("." for none) | arguments (the helper is not started: it would outlive the test)
set(shots
  "."               "--simulated|--tab|0"
  "-acceleration"   "--simulated|--tab|1"
  "-mouse"          "--simulated|--tab|2"
  "-about"          "--simulated|--tab|3"
  "-no-mouse"       "--simulated|--simulated-mouse|none"
  "-not-answering"  "--simulated|--simulated-mouse|silent|--no-device-waits"
  "-refused"        "--simulated|--simulated-mouse|refused")
list(LENGTH shots count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  list(GET shots ${i} suffix)
  if(suffix STREQUAL ".")
    set(suffix "")
  endif()
  math(EXPR j "${i} + 1")
  list(GET shots ${j} arguments)
  string(REPLACE "|" ";" arguments "${arguments}")
  set(picture "${here}/${stem}${suffix}.png")
  file(REMOVE "${picture}")
  execute_process(
    COMMAND "${XVFB_RUN}" -a -s "-screen 0 1024x768x24"
            "${PROGRAM}" ${arguments} --no-helper --simulated-state "${STATE}" --screenshot "${picture}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE out ERROR_VARIABLE err
    TIMEOUT 100)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "korvid-tessel-settings ${arguments} failed (${result}):\n${out}\n${err}")
  endif()
  if(NOT EXISTS "${picture}")
    message(FATAL_ERROR "no picture was written for ${arguments}:\n${out}\n${err}")
  endif()
  file(SIZE "${picture}" size)
  if(size LESS 2000)
    message(FATAL_ERROR "the picture for ${arguments} is suspiciously small (${size} bytes)")
  endif()
  message(STATUS "picture of the window: ${picture}")
endforeach()

# The window run from the build tree registers no login item: its helper is not installed.
if(EXISTS "${config}/korvid/loginWindow.plist")
  file(READ "${config}/korvid/loginWindow.plist" items)
  message(FATAL_ERROR "the window run from the build tree changed the login items:\n${items}")
endif()
