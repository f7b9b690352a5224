# `cmake --install` puts merlo, the module, the emulated device library, the
# language file and the manual in place, and the installed merlo runs.
# Arguments: BUILD_DIR, WORK_DIR.

cmake_minimum_required(VERSION 3.20)

file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${WORK_DIR}/prefix ${WORK_DIR}/prefix/*)
foreach(needed "bin/merlo" "share/man/man1/merlo.1")
  if(NOT EXISTS ${WORK_DIR}/prefix/${needed})
    message(FATAL_ERROR "no ${needed}; installed: ${installed}")
  endif()
endforeach()

file(MAKE_DIRECTORY ${WORK_DIR}/device/folder)
file(WRITE ${WORK_DIR}/device/hello.txt "hello")
execute_process(COMMAND ${WORK_DIR}/prefix/bin/merlo --device ${WORK_DIR}/device ls
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "hello.txt" OR NOT out MATCHES "<DIR>  folder")
  message(FATAL_ERROR "the installed merlo did not list the device (status ${rc}):\n${out}\n${err}")
endif()

# The manual tells of every command.
execute_process(COMMAND ${WORK_DIR}/prefix/bin/merlo help OUTPUT_VARIABLE help)
file(READ ${WORK_DIR}/prefix/share/man/man1/merlo.1 manual)
string(REGEX MATCHALL "\n  [a-z]+" commands "${help}")
foreach(command ${commands})
  string(STRIP "${command}" command)
  if(NOT manual MATCHES "\\\\fB${command}\\\\fR|\\.B ${command}")
    message(FATAL_ERROR "the manual does not tell of ${command}")
  endif()
endforeach()
message(STATUS "installed: ${installed}")
