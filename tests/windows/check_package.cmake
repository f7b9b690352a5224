# The release package: CPack makes MERLO-<version>-win32.zip, and it holds
# MERLO.dll, MERLOEng.lng, README.txt, merlo.exe, merlo-ansi.exe and the
# emulated device library in emulator\, nothing else.
# Arguments: CPACK, BUILD_DIR, VERSION, WORK_DIR, MERLO_DLL, MERLO_EXE,
# MERLO_ANSI_EXE, RAPI_DLL.

cmake_minimum_required(VERSION 3.20)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/out ${WORK_DIR}/unpacked)
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/out
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${out}")
endif()
set(zip ${WORK_DIR}/out/MERLO-${VERSION}-win32.zip)
if(NOT EXISTS ${zip})
  file(GLOB made ${WORK_DIR}/out/*)
  message(FATAL_ERROR "no ${zip}; cpack made: ${made}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${WORK_DIR}/unpacked
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${zip}")
endif()

file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE ${WORK_DIR}/unpacked
     ${WORK_DIR}/unpacked/*)
list(SORT entries)
set(expected
    "MERLO.dll;MERLOEng.lng;README.txt;emulator;emulator/rapi.dll;merlo-ansi.exe;merlo.exe")
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "the package holds [${entries}], expected [${expected}]")
endif()

foreach(pair "${MERLO_DLL}|MERLO.dll" "${BUILD_DIR}/MERLOEng.lng|MERLOEng.lng"
        "${MERLO_EXE}|merlo.exe" "${MERLO_ANSI_EXE}|merlo-ansi.exe" "${RAPI_DLL}|emulator/rapi.dll")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 built)
  list(GET pair 1 packed)
  file(SHA256 ${built} a)
  file(SHA256 ${WORK_DIR}/unpacked/${packed} b)
  if(NOT a STREQUAL b)
    message(FATAL_ERROR "${packed} in the package differs from the built ${built}")
  endif()
endforeach()

file(READ ${WORK_DIR}/unpacked/README.txt readme)
foreach(needed "MERLO ${VERSION}" "MERLO.dll" "MERLOEng.lng" "AddToDisksMenu" "DisksMenuDigit"
        "device-synchronisation software" "subkey MERLO" "Folders are skipped" "merlo.exe" "merlo-ansi.exe"
        "--device" "mkdir [-p]" "put -r" "mirror [-R]" "df [DEVPATH]" "last-write time")
  string(FIND "${readme}" "${needed}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.txt does not mention \"${needed}\"")
  endif()
endforeach()
file(READ ${WORK_DIR}/unpacked/README.txt readme_hex HEX)
if(NOT readme_hex MATCHES "0d0a")
  message(FATAL_ERROR "README.txt should have Windows line ends")
endif()
message(STATUS "${zip}: ${entries}")
