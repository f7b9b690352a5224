# merlo.exe with names in several languages, as a new Windows user meets them:
# the device is the folder "Données", the session starts in the PC folder
# "José\Documents", and its commands come from a script that Notepad saved
# (UTF-8 with a byte order mark, CR LF line ends) in a folder with an accented
# name. It enters the device's Cyrillic folder, copies a file from it into
# the current PC folder and into "Sauvegarde été", copies "notes é.txt" back,
# and lists both sides. A name that is not valid UTF-8 is refused. A second
# run takes its command and a PC folder from the command line. Then the files
# on both sides are checked: the same bytes under the exact names.
# Arguments: RUN (the command that runs a Windows program), MERLO_EXE, WORK_DIR.

cmake_minimum_required(VERSION 3.20)

file(REMOVE_RECURSE ${WORK_DIR})
set(device "${WORK_DIR}/Données")
set(home "${WORK_DIR}/pc/José/Documents")
set(backup "${WORK_DIR}/pc/Sauvegarde été")
file(MAKE_DIRECTORY "${device}/Мои документы" "${home}" "${backup}")
# Longer than one 2048-byte transfer chunk.
string(REPEAT "отчёт 0123456789\r\n" 200 report)
file(WRITE "${device}/Мои документы/Отчёт.txt" "${report}")
file(WRITE "${device}/Мои документы/表示.txt" "表示")
file(WRITE "${device}/Мои документы/café.txt" "café")
string(REPEAT "notes du PC\n" 300 notes)
file(WRITE "${home}/notes é.txt" "${notes}")

function(windows_path path out)
  string(REPLACE "/" "\\" path "Z:${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
windows_path("${device}" device_w)
windows_path("${home}" home_w)
windows_path("${backup}" backup_w)

# As Notepad saves a script: a byte order mark, CR LF line ends. The rm names
# a device file with a Latin-1 byte, which is no UTF-8: refused, and the
# device's café.txt stays; the ls names U+FFFD, which the module makes of
# what it cannot convert: refused too.
string(ASCII 239 187 191 bom)
string(ASCII 233 latin1_e)
set(lines
  "info"
  "lpwd"
  "cd \"Мои документы\""
  "ls"
  "get Отчёт.txt"
  "get Отчёт.txt \"${backup_w}\""
  "put \"notes é.txt\""
  "-rm caf${latin1_e}.txt"
  "-ls \"x�*\""
  "cd .."
  "put \"${home_w}\\notes é.txt\""
  "lcd \"${backup_w}\""
  "lls")
list(JOIN lines "\r\n" script)
set(script_file "${WORK_DIR}/pc/José/script é.txt")
file(WRITE "${script_file}" "${bom}${script}\r\n")
windows_path("${script_file}" script_w)

# Wine reads the command line and the file names in the locale's encoding.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${RUN} ${MERLO_EXE} --device "${device_w}"
          -b "${script_w}"
  WORKING_DIRECTORY "${home}"
  OUTPUT_FILE ${WORK_DIR}/out.txt ERROR_FILE ${WORK_DIR}/err.txt RESULT_VARIABLE rc TIMEOUT 3000)
file(READ ${WORK_DIR}/out.txt out)
file(READ ${WORK_DIR}/err.txt err)
set(transcript "merlo.exe exit status: ${rc}\n--- standard output:\n${out}\n--- standard error:\n${err}")

set(failures "")
if(NOT rc EQUAL 0)
  list(APPEND failures "the script did not end with status 0")
endif()
# Output into a file is UTF-8.
foreach(shown "names pass as:   code page 65001 (UTF-8)" "José\\Documents" "Отчёт.txt"
              "表示.txt" "notes é.txt")
  string(FIND "${out}" "${shown}" at)
  if(at EQUAL -1)
    list(APPEND failures "the output does not show ${shown}")
  endif()
endforeach()
string(FIND "${err}" "caf\\xE9.txt: it is not valid UTF-8" at)
if(at EQUAL -1)
  list(APPEND failures "the name that is no UTF-8 was not refused as such")
endif()
string(FIND "${err}" "x�*: it holds U+FFFD" at)
if(at EQUAL -1)
  list(APPEND failures "the name with U+FFFD was not refused as such")
endif()

# Command and PC folder from the command line.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${RUN} ${MERLO_EXE} --device "${device_w}"
          get "Мои документы\\表示.txt" "${backup_w}"
  OUTPUT_VARIABLE out2 ERROR_VARIABLE err2 RESULT_VARIABLE rc2 TIMEOUT 3000)
if(NOT rc2 EQUAL 0)
  list(APPEND failures "get from the command line (status ${rc2}):\n${out2}${err2}")
endif()

function(expect_same_file got want what)
  if(NOT EXISTS "${got}")
    list(APPEND failures "${what}: ${got} is missing")
  else()
    file(SHA256 "${got}" a)
    file(SHA256 "${want}" b)
    if(NOT a STREQUAL b)
      list(APPEND failures "${what}: ${got} differs from ${want}")
    endif()
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()
set(folder "${device}/Мои документы")
expect_same_file("${home}/Отчёт.txt" "${folder}/Отчёт.txt" "get into the current PC folder")
expect_same_file("${backup}/Отчёт.txt" "${folder}/Отчёт.txt" "get into a named PC folder")
expect_same_file("${folder}/notes é.txt" "${home}/notes é.txt" "put from the current PC folder")
expect_same_file("${device}/notes é.txt" "${home}/notes é.txt" "put of a full PC path")
expect_same_file("${backup}/表示.txt" "${folder}/表示.txt" "get from the command line")
if(NOT EXISTS "${folder}/café.txt")
  list(APPEND failures "the refused rm deleted café.txt")
endif()
file(GLOB names RELATIVE "${folder}" "${folder}/*")
list(SORT names)
if(NOT names STREQUAL "café.txt;notes é.txt;Отчёт.txt;表示.txt")
  list(APPEND failures "the device's Cyrillic folder holds [${names}]")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "session failed:\n  ${text}\n${transcript}")
endif()
message(STATUS "session done:\n${out}${err}")
