# cmake -DOBJDUMP=... -DMODULE=... [-DMAP=...] [-DNM=... -DOBJECTS=...] -P CheckModule.cmake
# The module must import Windows system DLLs only and export exactly the
# host's entry point and the dialog procedure, under their plain names. With
# the link map, it must also pull in nothing that costs a hosting process
# something per load (docs/lifetime.md). The ARM64 module's linker (Zig's)
# writes no map: there the same rules are checked on our own objects (OBJECTS,
# a |-separated list, read with LLVM's nm) and on the module's imports.
# OBJDUMP is GNU objdump (x64) or LLVM's (ARM64); both formats are read.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${MODULE}")
endif()

set(system_dlls KERNEL32.dll USER32.dll GDI32.dll ADVAPI32.dll SHELL32.dll COMCTL32.dll msvcrt.dll)
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
foreach(line ${imports})
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOUPPER "${dll}" dll_upper)
  set(ok FALSE)
  foreach(allowed ${system_dlls})
    string(TOUPPER "${allowed}" allowed_upper)
    if(dll_upper STREQUAL allowed_upper)
      set(ok TRUE)
    endif()
  endforeach()
  if(dll_upper MATCHES "^API-MS-WIN-")
    set(ok TRUE)
  endif()
  if(NOT ok)
    message(FATAL_ERROR "${MODULE} imports ${dll}, which is not a Windows system DLL")
  endif()
  message(STATUS "imports ${dll}")
endforeach()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[\r\n]+([^\r\n]+[\r\n])*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_][A-Za-z0-9_@]*" exports "${table}")
set(names "")
foreach(e ${exports})
  string(REGEX REPLACE "\\[ *[0-9]+\\] " "" name "${e}")
  list(APPEND names ${name})
endforeach()
if(NOT table)
  # LLVM's objdump: "Export Table:", then "ordinal  RVA  name" lines.
  string(REGEX MATCH "Export Table:[\r\n]+([^\r\n]+[\r\n])*" table "${dump}")
  string(REGEX MATCHALL "[\r\n] *[0-9]+ +0x[0-9a-fA-F]+ +[A-Za-z_][A-Za-z0-9_@]*" exports "${table}")
  foreach(e ${exports})
    string(REGEX REPLACE ".* " "" name "${e}")
    list(APPEND names ${name})
  endforeach()
endif()
list(SORT names)
if(NOT names STREQUAL "PluginMain;tarnwickPixelmoorProc")
  message(FATAL_ERROR "${MODULE} exports '${names}', expected exactly PluginMain and tarnwickPixelmoorProc")
endif()
message(STATUS "exports ${names}")

# 64-bit Windows only promises 16-byte stack alignment, and GCC does not
# realign for 32-byte spills: an AVX register stored to or loaded from the
# stack would fault on real hosts. The wide-vector code must keep its values in
# registers; check that no instruction moves a ymm register through the stack.
string(REGEX MATCH "file format [^\r\n]*(aarch64|arm64)" arm64 "${dump}")
if(arm64)
  set(code "")
  set(rc 0)
else()
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${MODULE} OUTPUT_VARIABLE code RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -d failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]*ymm[0-9]+[^\n]*\\(%r[sb]p\\)[^\n]*|[^\n]*\\(%r[sb]p\\)[^\n]*ymm[0-9]+[^\n]*" spills "${code}")
if(spills)
  list(GET spills 0 first)
  message(FATAL_ERROR "${MODULE} moves a 32-byte register through the stack: ${first}")
endif()
if(NOT arm64)
  message(STATUS "no 32-byte stack spills")
endif()

# What the module's own code may not ask of the runtime, read from the link
# map: its list of archive members and its cross-reference table. Each
# of these allocates a thread-local slot (or more) per load of the module
# that nothing gives back when it is unloaded, or can end in abort():
#   guard.o                 a guarded function-local static: __cxa_guard_acquire
#                           takes the thread library's once-only path, which
#                           allocates a TLS slot on every load
#   __cxa_throw, __cxa_allocate_exception, __cxa_rethrow, std::__throw_*
#                           a throw: the runtime's per-thread exception record
#                           lives in emulated TLS (the same slot, heap blocks
#                           and handles per load)
#   __emutls_get_address    a thread_local variable of our own
#   pthread_*               the thread library directly
#   operator new            throws std::bad_alloc when memory runs out
#   std::uncaught_exception(s), std::current_exception, std::rethrow_exception,
#   __cxa_get_globals(_fast)
#                           read or rethrow the runtime's per-thread exception
#                           record: the same emulated TLS as a throw, without
#                           any throw in the module's code (a "commit unless
#                           unwinding" guard took a TLS slot per load)
# "Our own" is every object that is not the runtime's: not only the module's
# object files but any library of ours or of a third party linked in. The
# runtime's are those from the folders of the toolchain's C++ and C runtime
# libraries, as the map names them.
if(DEFINED MAP)
  # Written by the same link as the module: an older one describes another build.
  file(TIMESTAMP ${MAP} map_time "%s" UTC)
  file(TIMESTAMP ${MODULE} module_time "%s" UTC)
  if(NOT map_time)
    set(map_time 0)
  endif()
  math(EXPR oldest_map "${module_time} - 5")
  if(map_time LESS oldest_map)
    message(FATAL_ERROR "${MAP} is missing or older than ${MODULE}: the link wrote no map")
  endif()
  file(READ ${MAP} map)
  string(FIND "${map}" "Archive member included to satisfy reference by file (symbol)" start)
  string(FIND "${map}" "Memory Configuration" stop)
  if(start EQUAL -1 OR stop LESS start)
    message(FATAL_ERROR "${MAP} has no list of archive members")
  endif()
  math(EXPR length "${stop} - ${start}")
  string(SUBSTRING "${map}" ${start} ${length} members)
  # "archive.a(member.o)", then (on the same line or the next) "by (symbol)".
  string(REGEX MATCHALL "[^ \n]+\\.a\\([^)\n]+\\)[ \n]+[^ \n]+ \\([^)\n]+\\)" pulls "${members}")
  list(LENGTH pulls count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${MAP} lists no archive members")
  endif()
  # The toolchain's runtime folders: where the map found libstdc++ and the
  # mingw-w64 runtime.
  set(runtime_dirs "")
  foreach(pull ${pulls})
    if(pull MATCHES "^(.*/)lib(stdc\\+\\+|mingw32)\\.a\\(")
      list(APPEND runtime_dirs "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES runtime_dirs)
  if(NOT runtime_dirs)
    message(FATAL_ERROR "${MAP} names neither libstdc++ nor the mingw-w64 runtime: cannot tell the runtime's objects")
  endif()
  foreach(pull ${pulls})
    string(REGEX MATCH "([^ \n/]+)\\.a\\(([^)\n]+)\\)[ \n]+([^ \n]+) \\(([^)\n]+)\\)" matched "${pull}")
    if(CMAKE_MATCH_1 STREQUAL "libstdc++" AND CMAKE_MATCH_2 STREQUAL "guard.o")
      message(FATAL_ERROR "${MODULE} links the runtime's static guard (${CMAKE_MATCH_4}, for ${CMAKE_MATCH_3}): "
                          "a function-local static with a dynamic initialiser")
    endif()
  endforeach()

  # The cross-reference table (--cref) names every file that refers to each
  # symbol, the defining one first; only our own objects' references count
  # (everything outside the runtime's folders), the runtime's members refer
  # to each other.
  string(FIND "${map}" "\nCross Reference Table" cref_start)
  if(cref_start EQUAL -1)
    message(FATAL_ERROR "${MAP} has no cross-reference table (link with --cref)")
  endif()
  string(SUBSTRING "${map}" ${cref_start} -1 cref)
  string(REPLACE ";" "," cref "${cref}")
  string(REPLACE "\n" ";" cref_lines "${cref}")
  set(forbidden "^(__cxa_guard_acquire|__cxa_throw|__cxa_allocate_exception|__cxa_rethrow|__cxa_get_globals(_fast)?|__emutls_get_address|pthread_[a-z_]+|std::__throw_[a-z_]+|std::uncaught_exceptions?|std::current_exception|std::rethrow_exception|operator new(\\[\\])?)[ (]")
  set(symbol "")
  set(checked 0)
  foreach(line ${cref_lines})
    if(line MATCHES "^[^ ]")
      set(symbol "")
      if(line MATCHES "${forbidden}")
        set(symbol "${CMAKE_MATCH_1}")
        math(EXPR checked "${checked} + 1")
      endif()
    elseif(symbol AND line MATCHES "^ +([^ ].*)$")
      set(file "${CMAKE_MATCH_1}")
      set(runtime FALSE)
      foreach(dir ${runtime_dirs})
        string(FIND "${file}" "${dir}" at)
        if(at EQUAL 0)
          set(runtime TRUE)
        endif()
      endforeach()
      if(NOT runtime)
        message(FATAL_ERROR "${file} makes ${MODULE} use ${symbol}")
      endif()
    endif()
  endforeach()
  message(STATUS "no static guard linked; none of ${checked} throw, exception-record, thread-local, "
                 "thread-library or operator new symbols used by any object outside the runtime")
endif()

# The ARM64 module: no link map, so the same rules on our own objects' undefined
# symbols (LLVM's nm, demangled). clang on Windows keeps thread_local
# variables in the module's TLS block (_tls_index) rather than emulated TLS.
# Our objects may not ask for a thread-local or fiber-local slot themselves
# either. The module does import FlsAlloc: LLVM's C++ runtime keeps its
# per-thread exception record in a fiber-local slot that it takes on the
# first throw or catch, which the rules above keep our code from; the soak
# counts the process's free fiber-local slots after thousands of runs.
if(DEFINED OBJECTS)
  string(REPLACE "|" ";" objects "${OBJECTS}")
  list(LENGTH objects count)
  if(count EQUAL 0)
    message(FATAL_ERROR "no objects given to check")
  endif()
  set(forbidden "^(__cxa_guard_acquire|__cxa_throw|__cxa_allocate_exception|__cxa_rethrow|__cxa_get_globals(_fast)?|__emutls_get_address|_tls_index|pthread_[a-z_]+|std::(__1::)?__throw_[a-z_]+|std::(__1::)?(uncaught_exceptions?|current_exception|rethrow_exception)|operator new(\\[\\])?|__imp_(Tls|Fls)Alloc)([ (]|$)")
  foreach(object ${objects})
    execute_process(COMMAND ${NM} -C -u ${object} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${NM} failed on ${object}")
    endif()
    string(REPLACE ";" "," undefined "${undefined}")
    string(REPLACE "\n" ";" lines "${undefined}")
    foreach(line ${lines})
      string(REGEX REPLACE "^ *U +" "" symbol "${line}")
      if(symbol MATCHES "${forbidden}")
        get_filename_component(name ${object} NAME)
        message(FATAL_ERROR "${name} makes ${MODULE} use ${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endforeach()
  message(STATUS "none of ${count} objects uses a guard, throw, thread-local, thread-library, "
                 "slot or operator new symbol")
endif()
