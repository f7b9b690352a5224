# A scripted session of merlo.exe with MERLO.dll and rapi.dll beside it, in
# one process (under emulated 32-bit Wine a process start costs a minute):
# tell the module's code page (UTF-8, from merlo.exe's manifest), list the
# device, enter a folder, copy a file to the PC, copy a PC file to the device,
# move a file within the device, delete a device file, and last a copy that
# the device refuses, which must show the error box. Then the files
# on both sides are checked.
# Arguments: RUN (the command that runs a Windows program, e.g. wine, may be
# empty), MERLO_EXE, WORK_DIR.

cmake_minimum_required(VERSION 3.20)

set(device ${WORK_DIR}/device)
set(pc ${WORK_DIR}/pc)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${device}/Docs ${device}/Archive ${pc})
# Binary contents, longer than one 2048-byte transfer chunk.
string(REPEAT "device report 0123456789\r\n\t\n" 120 report)
file(WRITE ${device}/Docs/report.txt "${report}")
file(WRITE ${device}/Docs/notes.txt "notes to move")
file(WRITE ${device}/old.txt "to be deleted")
string(REPEAT "from the PC\n" 300 upload)
file(WRITE ${pc}/upload.txt "${upload}")
# Copies to compare with at the end.
file(COPY ${device}/Docs/report.txt ${device}/Docs/notes.txt ${pc}/upload.txt
     DESTINATION ${WORK_DIR}/expected)

# Paths as the Windows program sees them: Wine shows the file-system root as Z:.
function(windows_path path out)
  if(RUN)
    string(REPLACE "/" "\\" path "Z:${path}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
windows_path(${device} device_w)
windows_path(${pc} pc_w)

# The copy within the device is the first CeCopyFile of the session: it fails.
# The failing line comes last, so the session ends with status 1 whether or
# not a script stops at its first failure.
file(WRITE ${WORK_DIR}/script.txt
  "info\n"
  "ls\n"
  "cd Docs\n"
  "pwd\n"
  "get report.txt \"${pc_w}\"\n"
  "put \"${pc_w}\\upload.txt\"\n"
  "mv notes.txt \\Archive\n"
  "ls\n"
  "cd ..\n"
  "rm old.txt\n"
  "ls\n"
  "cd Docs\n"
  "cp report.txt \\Archive\n")
set(ENV{MERLO_DEVICE_FAULTS} "fail=CeCopyFile:1")

# Into files: a variable would get the output with its line ends changed.
execute_process(
  COMMAND ${RUN} ${MERLO_EXE} --device ${device_w}
  INPUT_FILE ${WORK_DIR}/script.txt
  OUTPUT_FILE ${WORK_DIR}/out.txt ERROR_FILE ${WORK_DIR}/err.txt RESULT_VARIABLE rc
  TIMEOUT 3000)
file(READ ${WORK_DIR}/out.txt out)
file(READ ${WORK_DIR}/err.txt err)
set(transcript "merlo.exe exit status: ${rc}\n--- standard output:\n${out}\n--- standard error:\n${err}")

set(failures "")
if(NOT rc EQUAL 1)
  list(APPEND failures "merlo.exe did not end with status 1 (the last command fails)")
endif()
# A Windows console program's text output: every line ends in CR LF.
# (file(READ) gives the text without the CRs, so the bytes are looked at.)
foreach(stream out err)
  file(READ ${WORK_DIR}/${stream}.txt bytes HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${bytes}")
  if(stream STREQUAL "out" AND NOT bytes MATCHES "(^| )0d 0a ")
    list(APPEND failures "merlo.exe's standard output has no CR LF line ends")
  endif()
  string(REPLACE "0d 0a " "" bytes "${bytes}")
  if(bytes MATCHES "(^| )0a ")
    list(APPEND failures "a line of merlo.exe's standard ${stream} ends without CR LF")
  endif()
endforeach()
# The manifest makes UTF-8 the process code page.
foreach(listed "names pass as:   code page 65001 (UTF-8)" "<DIR>  Docs" "<DIR>  Archive" "old.txt" "\\Docs\n" "report.txt" "upload.txt")
  string(FIND "${out}" "${listed}" at)
  if(at EQUAL -1)
    list(APPEND failures "the output does not show ${listed}")
  endif()
endforeach()

# The error box of the failed copy: the module's text with the source path,
# from the language file beside MERLO.dll.
get_filename_component(build_dir ${MERLO_EXE} DIRECTORY)
file(STRINGS ${build_dir}/MERLOEng.lng texts)
list(GET texts 11 copy_failed)  # message 10, after the .Language line
string(REGEX REPLACE "^\"(.*)\"$" "\\1" copy_failed "${copy_failed}")
string(REPLACE "%s" "\\Docs\\report.txt" copy_failed "${copy_failed}")
foreach(shown "${copy_failed}" "[ OK ]")
  string(FIND "${err}" "${shown}" at)
  if(at EQUAL -1)
    list(APPEND failures "the failed copy shows no box with \"${shown}\"")
  endif()
endforeach()

function(expect_same_file got want what)
  if(NOT EXISTS ${got})
    list(APPEND failures "${what}: ${got} is missing")
  else()
    file(SHA256 ${got} a)
    file(SHA256 ${want} b)
    if(NOT a STREQUAL b)
      list(APPEND failures "${what}: ${got} differs from ${want}")
    endif()
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()
function(expect_file path name what)
  expect_same_file(${path} ${WORK_DIR}/expected/${name} "${what}")
  set(failures "${failures}" PARENT_SCOPE)
endfunction()
function(expect_gone path what)
  if(EXISTS ${path})
    list(APPEND failures "${what}: ${path} is there")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

expect_file(${device}/Docs/report.txt report.txt "get keeps the device file")
expect_same_file(${pc}/report.txt ${device}/Docs/report.txt "get")
expect_file(${device}/Docs/upload.txt upload.txt "put into the current device folder")
expect_file(${pc}/upload.txt upload.txt "put keeps the PC file")
expect_gone(${device}/upload.txt "put into the device root")
expect_file(${device}/Archive/notes.txt notes.txt "mv")
expect_gone(${device}/Docs/notes.txt "mv leaves no source")
expect_gone(${device}/old.txt "rm")
expect_gone(${device}/Archive/report.txt "the refused copy")
file(GLOB pc_files RELATIVE ${pc} ${pc}/*)
list(SORT pc_files)
if(NOT pc_files STREQUAL "report.txt;upload.txt")
  list(APPEND failures "the PC folder holds [${pc_files}], expected report.txt and upload.txt")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "session failed:\n  ${text}\n${transcript}")
endif()
message(STATUS "session done:\n${out}${err}")
