# Reads a DLL's export or import table with the cross binutils' objdump and fails on anything unexpected.
#
#   cmake -DOBJDUMP=<objdump> -DDLL=<file.dll> -DCHECK=exports -P check_dll_tables.cmake
#     the export table holds exactly the ten kestrum_ functions, by undecorated name, and nothing else
#   cmake -DOBJDUMP=<objdump> -DDLL=<file.dll> -DCHECK=imports -P check_dll_tables.cmake
#     every imported DLL is a system DLL: Winsock, the kernel and the C runtime. The compiler's own runtime
#     (libgcc_s, libstdc++, libwinpthread) must have gone in statically.
cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP DLL CHECK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_dll_tables: -D${var}=... is required")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump ERROR_VARIABLE dump_err
                RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc}): ${dump_err}")
endif()

if(CHECK STREQUAL "exports")
  set(expected kestrum_cancel kestrum_cleanup kestrum_download kestrum_init kestrum_last_error kestrum_ping
               kestrum_result_json kestrum_run_all kestrum_set_tick kestrum_upload)

  # Names: the "[Ordinal/Name Pointer] Table" section, one "[   i] name" line each, up to a blank line.
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${DLL} has no named exports at all")
  endif()
  string(SUBSTRING "${dump}" ${at} -1 section)
  string(FIND "${section}" "\n\n" end)
  string(SUBSTRING "${section}" 0 ${end} section)
  string(REGEX MATCHALL "\n[\t ]*\\[ *[0-9]+\\] [^\n]*" lines "${section}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n[\t ]*\\[ *[0-9]+\\] " "" name "${line}")
    string(STRIP "${name}" name)
    list(APPEND names "${name}")
  endforeach()

  # Entries: every slot of the export address table, named or not; an export by ordinal alone or a
  # forwarder would show here without a name above.
  string(REGEX MATCHALL "\\+base\\[ *[0-9]+\\] [0-9a-fA-F]+ [A-Za-z]+ RVA" entries "${dump}")
  list(LENGTH entries entry_count)

  list(SORT names)
  string(REPLACE ";" " " shown "${names}")
  message(STATUS "exports of ${DLL}: ${shown} (${entry_count} address table entries)")
  if(NOT names STREQUAL expected)
    string(REPLACE ";" " " want "${expected}")
    message(FATAL_ERROR "exports differ\n  found:    ${shown}\n  expected: ${want}")
  endif()
  list(LENGTH expected expected_count)
  if(NOT entry_count EQUAL expected_count)
    message(FATAL_ERROR "the export address table has ${entry_count} entries, not ${expected_count}")
  endif()
  if(dump MATCHES "Forwarder RVA")
    message(FATAL_ERROR "the export table forwards to another DLL")
  endif()

elseif(CHECK STREQUAL "imports")
  string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
  set(dlls "")
  set(foreign "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    list(APPEND dlls "${dll}")
    if(NOT lower MATCHES "^(ws2_32|kernel32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
      list(APPEND foreign "${dll}")
    endif()
  endforeach()
  string(REPLACE ";" " " shown "${dlls}")
  message(STATUS "imports of ${DLL}: ${shown}")
  string(TOLOWER "${dlls}" lower_dlls)
  if(NOT "kernel32.dll" IN_LIST lower_dlls OR NOT "ws2_32.dll" IN_LIST lower_dlls)
    message(FATAL_ERROR "expected imports from KERNEL32.dll and WS2_32.dll, found: ${shown}")
  endif()
  if(foreign)
    string(REPLACE ";" " " foreign "${foreign}")
    message(FATAL_ERROR "imports from DLLs that are not part of Windows: ${foreign}")
  endif()

else()
  message(FATAL_ERROR "check_dll_tables: CHECK must be exports or imports, not ${CHECK}")
endif()
