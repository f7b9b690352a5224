# A scripted session of merlo.exe with MERLO.dll and rapi.dll beside it: list
# the device, enter a folder, copy a file to the PC, copy a PC file to the
# device, delete a device file; then the files on both sides are checked.
# Arguments: RUN (the command that runs a Windows program, e.g. wine, may be
# empty), MERLO_EXE, WORK_DIR.

cmake_minimum_required(VERSION 3.20)

set(device ${WORK_DIR}/device)
set(pc ${WORK_DIR}/pc)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${device}/Docs ${pc})
# Binary contents, longer than one 2048-byte transfer chunk.
string(REPEAT "device report 0123456789\r\n\t\n" 120 report)
file(WRITE ${device}/Docs/report.txt "${report}")
file(WRITE ${device}/old.txt "to be deleted")
string(REPEAT "from the PC\n" 300 upload)
file(WRITE ${pc}/upload.txt "${upload}")

# Paths as the Windows program sees them: Wine shows the file-system root as Z:.
function(windows_path path out)
  if(RUN)
    string(REPLACE "/" "\\" path "Z:${path}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
windows_path(${device} device_w)
windows_path(${pc} pc_w)

file(WRITE ${WORK_DIR}/script.txt
  "ls\n"
  "cd Docs\n"
  "pwd\n"
  "get report.txt \"${pc_w}\"\n"
  "put \"${pc_w}\\upload.txt\"\n"
  "ls\n"
  "cd ..\n"
  "rm old.txt\n"
  "ls\n"
  "exit\n")

execute_process(
  COMMAND ${RUN} ${MERLO_EXE} --device ${device_w}
  INPUT_FILE ${WORK_DIR}/script.txt
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
  TIMEOUT 3000)
set(transcript "merlo.exe exit status: ${rc}\n--- standard output:\n${out}\n--- standard error:\n${err}")

set(failures "")
if(NOT rc EQUAL 0)
  list(APPEND failures "merlo.exe did not end with status 0")
endif()
string(REPLACE "\r\n" "\n" out "${out}")
foreach(listed "Docs" "old.txt" "report.txt" "upload.txt" "\\Docs")
  string(FIND "${out}" "${listed}" at)
  if(at EQUAL -1)
    list(APPEND failures "the output does not show ${listed}")
  endif()
endforeach()

if(NOT EXISTS ${pc}/report.txt)
  list(APPEND failures "get: report.txt did not reach the PC folder")
else()
  file(SHA256 ${pc}/report.txt got)
  file(SHA256 ${device}/Docs/report.txt want)
  if(NOT got STREQUAL want)
    list(APPEND failures "get: report.txt on the PC differs from the device's")
  endif()
endif()
if(NOT EXISTS ${device}/Docs/report.txt)
  list(APPEND failures "get: a copy removed report.txt from the device")
endif()
if(NOT EXISTS ${device}/Docs/upload.txt)
  list(APPEND failures "put: upload.txt did not reach the device folder Docs")
else()
  file(READ ${device}/Docs/upload.txt got)
  if(NOT got STREQUAL upload)
    list(APPEND failures "put: upload.txt on the device differs from the PC's")
  endif()
endif()
if(NOT EXISTS ${pc}/upload.txt)
  list(APPEND failures "put: a copy removed upload.txt from the PC")
endif()
if(EXISTS ${device}/old.txt)
  list(APPEND failures "rm: old.txt is still on the device")
endif()
if(EXISTS ${device}/upload.txt)
  list(APPEND failures "put: upload.txt went to the device root, not to Docs")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "session failed:\n  ${text}\n${transcript}")
endif()
message(STATUS "session done:\n${out}")
