# Runs the settings window with the simulated mouse on a virtual X display, saves a picture
# of it, and checks that the picture was made.
file(REMOVE "${PICTURE}" "${STATE}")
# The program writes the user's login items and settings: keep them in the build folder.
get_filename_component(here "${PICTURE}" DIRECTORY)
set(ENV{XDG_CONFIG_HOME} "${here}/screenshot-config")
set(ENV{XDG_STATE_HOME} "${here}/screenshot-state")
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
