# The tables of the Windows binaries, read with objdump -p:
#   MERLO.dll exports exactly the thirteen entry points under their plain
#   names and imports only Windows' own DLLs (no device library, no C++
#   runtime DLLs); it carries a version resource;
#   rapi.dll exports its calls under their plain names (both as the call
#   lists of the sources name them); it and merlo.exe also
#   import only Windows' own DLLs.
# Arguments: OBJDUMP, MERLO_DLL, RAPI_DLL, MERLO_EXE, SOURCE_DIR.

cmake_minimum_required(VERSION 3.20)

set(failures "")

function(read_tables file exports_var imports_var)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${file} failed")
  endif()
  # Exports: the lines "[ N] Name" of the name pointer table.
  set(exports "")
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
  if(at GREATER -1)
    string(SUBSTRING "${dump}" ${at} -1 table)
    string(REGEX REPLACE "\n[ \t]*\n.*" "" table "${table}")
    string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" lines "${table}")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${line}")
      string(STRIP "${name}" name)
      list(APPEND exports "${name}")
    endforeach()
  endif()
  list(SORT exports)
  string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
  set(imports "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "DLL Name: " "" name "${line}")
    string(STRIP "${name}" name)
    list(APPEND imports "${name}")
  endforeach()
  set(${exports_var} "${exports}" PARENT_SCOPE)
  set(${imports_var} "${imports}" PARENT_SCOPE)
  set(dump "${dump}" PARENT_SCOPE)
endfunction()

# Windows' own DLLs that a mingw-w64 program with a static C++ runtime uses.
set(system_dlls kernel32.dll advapi32.dll msvcrt.dll user32.dll ntdll.dll version.dll
    shell32.dll ole32.dll)

function(check_imports file imports)
  if(NOT imports)
    list(APPEND failures "${file}: no import table found")
  endif()
  foreach(dll IN LISTS imports)
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST system_dlls AND NOT lower MATCHES "^api-ms-win-")
      list(APPEND failures "${file} imports ${dll}, which is not a Windows system DLL")
    endif()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# The names of a call list (entry_points.h, device_calls.h), as its
# "X(Return, Name, ...)" lines give them.
function(list_names header var)
  file(READ ${header} source)
  string(REPLACE "\\" "" source "${source}")
  string(REGEX MATCHALL "\n *X\\([^,]+, *[A-Za-z_0-9]+," lines "${source}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n *X\\([^,]+, *([A-Za-z_0-9]+),$" "\\1" name "${line}")
    list(APPEND names ${name})
  endforeach()
  list(SORT names)
  set(${var} "${names}" PARENT_SCOPE)
endfunction()

# MERLO.dll
list_names(${SOURCE_DIR}/src/host/entry_points.h entry_points)
list(LENGTH entry_points count)
if(NOT count EQUAL 13)
  list(APPEND failures "entry_points.h lists ${count} entry points, not 13: [${entry_points}]")
endif()
read_tables(${MERLO_DLL} exports imports)
if(NOT exports STREQUAL entry_points)
  list(APPEND failures "MERLO.dll exports [${exports}], expected exactly [${entry_points}]")
endif()
check_imports(MERLO.dll "${imports}")
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" lower)
  if(lower MATCHES "rapi")
    list(APPEND failures "MERLO.dll imports the device library ${dll}")
  endif()
endforeach()
# The resource directory's type table names type 16, RT_VERSION.
string(FIND "${dump}" "The .rsrc Resource Directory section:" at)
if(at EQUAL -1)
  list(APPEND failures "MERLO.dll has no resource section")
else()
  string(SUBSTRING "${dump}" ${at} -1 resources)
  if(NOT resources MATCHES "Type Table:[^\n]*\n[^\n]*Entry: ID: 0x0*10,")
    list(APPEND failures "MERLO.dll has no version resource (type 16)")
  endif()
endif()

# rapi.dll
list_names(${SOURCE_DIR}/src/platform/device_calls.h device_calls)
list(LENGTH device_calls count)
if(NOT count EQUAL 20)
  list(APPEND failures "device_calls.h lists ${count} calls, not 20: [${device_calls}]")
endif()
read_tables(${RAPI_DLL} exports imports)
if(NOT exports STREQUAL device_calls)
  list(APPEND failures "rapi.dll exports [${exports}], expected [${device_calls}]")
endif()
check_imports(rapi.dll "${imports}")

# merlo.exe and merlo-ansi.exe
read_tables(${MERLO_EXE} exports imports)
check_imports(merlo.exe "${imports}")
read_tables(${MERLO_ANSI_EXE} exports imports)
check_imports(merlo-ansi.exe "${imports}")
# What tells the two apart: merlo.exe's manifest makes UTF-8 its code page,
# merlo-ansi.exe's keeps the system's.
file(STRINGS ${MERLO_EXE} utf8 REGEX "<activeCodePage[^>]*>UTF-8</activeCodePage>")
file(STRINGS ${MERLO_ANSI_EXE} ansi REGEX "activeCodePage")
if(NOT utf8)
  list(APPEND failures "merlo.exe's manifest does not declare UTF-8 as its code page")
endif()
if(ansi)
  list(APPEND failures "merlo-ansi.exe's manifest declares a code page: ${ansi}")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "binary checks failed:\n  ${text}")
endif()
message(STATUS "MERLO.dll, rapi.dll, merlo.exe and merlo-ansi.exe: tables and manifests as expected")
