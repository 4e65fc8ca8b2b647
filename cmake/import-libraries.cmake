# Import libraries of a Windows DLL of the kit, run after the DLL is linked:
#   cmake -DNAME=<library> -DDIR=<folder of the DLL> -DLINK_DEF=<def the linker wrote>
#         -DDLLTOOL=<binutils dlltool> -DMACHINE=<i386 | i386:x86-64>
#         [-DLLVM_DLLTOOL=<llvm-dlltool>] -P import-libraries.cmake
#
# The DLL exports undecorated names on both architectures (linked with
# --kill-at), which is what GetProcAddress, VB6 Declare and P/Invoke look
# for. A 32-bit C caller that includes the header still refers to the
# __stdcall symbol _name@N, so the import libraries map each decorated symbol
# to its undecorated export:
#   <DIR>/<NAME>.def       the exports as the DLL names them, shipped for
#                          hosts that make their own import library
#   <DIR>/lib<NAME>.dll.a  for MinGW (binutils dlltool --kill-at); it
#                          replaces the one ld wrote, which on i686 names the
#                          undecorated symbols and cannot satisfy _name@N
#   <DIR>/<NAME>.lib       for MSVC, a short-format import library
#                          (llvm-dlltool --kill-at), when LLVM_DLLTOOL is given
foreach(var NAME DIR LINK_DEF DLLTOOL MACHINE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "import-libraries.cmake: ${var} is not set")
  endif()
endforeach()

# Lines of the linker's def: "    name @3" or, with --kill-at on i686,
# "    name = name@8 @3".
file(STRINGS ${LINK_DEF} lines)
set(plain "LIBRARY ${NAME}.dll\nEXPORTS\n")
set(decorated "LIBRARY ${NAME}.dll\nEXPORTS\n")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)([ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_@]*))?[ \t]+@[0-9]+")
    set(export "${CMAKE_MATCH_1}")
    set(symbol "${CMAKE_MATCH_3}")
    if(NOT symbol)
      set(symbol "${export}")
    endif()
    string(APPEND plain "    ${export}\n")
    string(APPEND decorated "    ${symbol}\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${LINK_DEF} lists no exports")
endif()

set(decorated_def ${DIR}/${NAME}.decorated.def)
file(WRITE ${DIR}/${NAME}.def "${plain}")
file(WRITE ${decorated_def} "${decorated}")

execute_process(
  COMMAND ${DLLTOOL} --kill-at -m ${MACHINE} -d ${decorated_def} -D ${NAME}.dll -l ${DIR}/lib${NAME}.dll.a
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "dlltool could not make lib${NAME}.dll.a")
endif()

if(LLVM_DLLTOOL)
  if(MACHINE STREQUAL "i386")
    set(llvm_machine i386)
  else()
    set(llvm_machine i386:x86-64)
  endif()
  execute_process(
    COMMAND ${LLVM_DLLTOOL} -k -m ${llvm_machine} -d ${decorated_def} -D ${NAME}.dll -l ${DIR}/${NAME}.lib
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "llvm-dlltool could not make ${NAME}.lib")
  endif()
endif()
