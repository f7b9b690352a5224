# merlo.exe as a tool for a real device: without --device it reaches the
# device-access library of the system folder, as the module does for the host;
# with --device it takes the emulated library from emulator\ beside it instead.
# The system's library is played by the emulated one (then by a planted one),
# copied into the Wine prefix's system folder for the length of this test.
# Arguments: RUN (the command that runs a Windows program), SYSTEM_DIR,
# MERLO_EXE, MERLO_DLL, LANGUAGE_FILE, RAPI_DLL, PLANTED_DLL, WORK_DIR.

cmake_minimum_required(VERSION 3.20)

file(REMOVE_RECURSE ${WORK_DIR})
set(app ${WORK_DIR}/app)
file(MAKE_DIRECTORY ${app}/emulator ${WORK_DIR}/device ${WORK_DIR}/emulated)
file(COPY ${MERLO_EXE} ${MERLO_DLL} ${LANGUAGE_FILE} DESTINATION ${app})
file(COPY ${RAPI_DLL} DESTINATION ${app}/emulator)
file(WRITE ${WORK_DIR}/device/on-the-device.txt "device")
file(WRITE ${WORK_DIR}/emulated/in-the-folder.txt "folder")
get_filename_component(exe_name ${MERLO_EXE} NAME)

function(windows_path path out)
  string(REPLACE "/" "\\" path "Z:${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
windows_path(${WORK_DIR}/device device_w)
windows_path(${WORK_DIR}/emulated emulated_w)

set(system_rapi ${SYSTEM_DIR}/rapi.dll)
if(EXISTS ${system_rapi})
  message(FATAL_ERROR "${system_rapi} is there already; this test puts its own there")
endif()

set(failures "")
# 1. No --device: the system's library, here the emulated one reading MERLO_DEVICE_ROOT.
file(COPY_FILE ${RAPI_DLL} ${system_rapi})
execute_process(COMMAND ${CMAKE_COMMAND} -E env MERLO_DEVICE_ROOT=${device_w}
                        ${RUN} ${app}/${exe_name} ls
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 600)
file(REMOVE ${system_rapi})
if(NOT rc EQUAL 0 OR NOT out MATCHES "on-the-device.txt")
  list(APPEND failures "without --device (status ${rc}):\n${out}${err}")
endif()

# 2. --device: the emulated library from emulator\, never the system's.
file(COPY_FILE ${PLANTED_DLL} ${system_rapi})
execute_process(COMMAND ${RUN} ${app}/${exe_name} --device ${emulated_w} ls
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 600)
set(planted_loaded NO)
if(EXISTS ${SYSTEM_DIR}/planted_loaded.txt)
  set(planted_loaded YES)
endif()
file(REMOVE ${system_rapi} ${SYSTEM_DIR}/planted_loaded.txt)
if(NOT rc EQUAL 0 OR NOT out MATCHES "in-the-folder.txt" OR planted_loaded)
  list(APPEND failures
       "with --device (status ${rc}, system library loaded: ${planted_loaded}):\n${out}${err}")
endif()

# 3. No --device and no device software on the PC: merlo says so, without
# the module's box, and exits 3 (no connection).
execute_process(COMMAND ${RUN} ${app}/${exe_name} ls
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 600)
if(NOT rc EQUAL 3 OR NOT err MATCHES "device software is not installed"
   OR NOT err MATCHES "connect the device" OR err MATCHES "help:" OR err MATCHES "\\+---")
  list(APPEND failures "without device software (status ${rc}):\n${out}${err}")
endif()

if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
message(STATUS "the system's library without --device, the emulated one with it, and a "
               "plain word when there is none")
