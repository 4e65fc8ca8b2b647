# Build helpers shared by every library, emulator, test and benchmark.

if(KIOSKKIT_SANITIZE)
  add_compile_options(-fsanitize=${KIOSKKIT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KIOSKKIT_SANITIZE})
endif()

set(KIOSKKIT_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

# Warnings every target of the kit is built with; CI adds -Werror.
function(kioskkit_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2
    -Wimplicit-fallthrough -Wnull-dereference -Wundef)
  if(KIOSKKIT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# kioskkit_add_library(<name> SOURCES <kit code> [ENTRY <files only the shared library has>]
#                      [LINK <private libraries>])
#
# Builds <name>_objects (the kit code once), the shared library <name> with the
# public C exports, and <name>_static, which tests link to reach the C++ inside.
# Files under ENTRY (load-time start routines) go only into the shared library,
# so a test program does not start the library's threads by linking it.
function(kioskkit_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;ENTRY;LINK" ${ARGN})
  string(TOUPPER ${name} upper)

  add_library(${name}_objects OBJECT ${ARG_SOURCES})
  target_compile_definitions(${name}_objects PUBLIC ${upper}_BUILD)
  target_include_directories(${name}_objects PUBLIC
    ${KIOSKKIT_ROOT}/include ${KIOSKKIT_ROOT})
  target_link_libraries(${name}_objects PUBLIC ${ARG_LINK})
  kioskkit_warnings(${name}_objects)

  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects> ${ARG_ENTRY})
  target_compile_definitions(${name} PRIVATE ${upper}_BUILD)
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${KIOSKKIT_ROOT}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${KIOSKKIT_ROOT})
  target_link_libraries(${name} PRIVATE ${ARG_LINK})
  kioskkit_warnings(${name})
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  # Export exactly the functions the public header declares: a version
  # script made from the header hides everything else, including the
  # template instances the C++ runtime headers would otherwise export.
  set(header ${KIOSKKIT_ROOT}/include/${name}.h)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  kioskkit_declared_exports(${header} ${upper}_API exports)
  if(NOT WIN32)
    set(script "{\n")
    if(exports)
      string(APPEND script "  global:\n")
    endif()
    foreach(symbol ${exports})
      string(APPEND script "    ${symbol};\n")
    endforeach()
    string(APPEND script "  local: *;\n};\n")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.map "${script}")
    target_link_options(${name} PRIVATE -Wl,--version-script=${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  endif()

  if(WIN32)
    # A DLL that needs no runtime DLLs beside it, exporting the undecorated
    # names (on i686 the __stdcall functions would otherwise be exported as
    # name@N). Its import libraries and .def file are made from the
    # linker's list of exports (cmake/import-libraries.cmake).
    set_target_properties(${name} PROPERTIES PREFIX "")
    set(link_def ${CMAKE_CURRENT_BINARY_DIR}/${name}.link.def)
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++
      -Wl,--kill-at -Wl,--output-def,${link_def})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(machine i386)
    else()
      set(machine i386:x86-64)
    endif()
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DNAME=${name} -DDIR=$<TARGET_FILE_DIR:${name}> -DLINK_DEF=${link_def}
              -DDLLTOOL=${CMAKE_DLLTOOL} -DMACHINE=${machine} -DLLVM_DLLTOOL=${KIOSKKIT_LLVM_DLLTOOL}
              -P ${KIOSKKIT_ROOT}/cmake/import-libraries.cmake
      VERBATIM)
    install(FILES $<TARGET_FILE_DIR:${name}>/${name}.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
    if(KIOSKKIT_LLVM_DLLTOOL)
      install(FILES $<TARGET_FILE_DIR:${name}>/${name}.lib DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
  else()
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
    # Installed side by side, the kit's libraries find each other (cashgate
    # needs notecore) wherever the prefix is.
    set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  add_library(kioskkit::${name} ALIAS ${name})

  add_library(${name}_static STATIC $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name}_static PUBLIC ${name}_objects)

  install(TARGETS ${name} EXPORT kioskkitTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${KIOSKKIT_ROOT}/include/${name}.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  set(PC_NAME ${name})
  file(RELATIVE_PATH PC_PREFIX_FROM_PCFILEDIR
    ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  configure_file(${KIOSKKIT_ROOT}/cmake/library.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  # The library exports exactly what its public header declares.
  if(KIOSKKIT_BUILD_TESTS AND NOT WIN32)
    add_test(NAME ${name}.exports
      COMMAND ${KIOSKKIT_ROOT}/tools/check-exports.sh $<TARGET_FILE:${name}> ${KIOSKKIT_ROOT}/include/${name}.h)
    set_tests_properties(${name}.exports PROPERTIES LABELS "exports")
  elseif(KIOSKKIT_BUILD_TESTS)
    # The DLL as objdump reads it: the undecorated names the header declares,
    # nothing else; only system DLLs imported (besides the kit's own).
    add_test(NAME ${name}.exports
      COMMAND ${KIOSKKIT_ROOT}/tools/check-dll.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:${name}>
              ${KIOSKKIT_ROOT}/include/${name}.h $<TARGET_FILE_DIR:${name}>/lib${name}.dll.a)
    set_tests_properties(${name}.exports PROPERTIES LABELS "exports")
  endif()
endfunction()

# The function names a public header declares with its API macro.
function(kioskkit_declared_exports header macro out)
  file(STRINGS ${header} lines)
  set(text "")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^[ \t]*#")
      string(APPEND text " ${line}")
    endif()
  endforeach()
  string(REGEX MATCHALL "${macro}[^;(]*\\(" decls "${text}")
  set(names "")
  foreach(decl ${decls})
    string(REGEX REPLACE ".*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\($" "\\1" symbol "${decl}")
    list(APPEND names ${symbol})
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

function(kioskkit_install_package)
  include(CMakePackageConfigHelpers)
  install(EXPORT kioskkitTargets NAMESPACE kioskkit:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kioskkit)
  configure_package_config_file(${KIOSKKIT_ROOT}/cmake/kioskkitConfig.cmake.in
    ${CMAKE_BINARY_DIR}/kioskkitConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kioskkit)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/kioskkitConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/kioskkitConfig.cmake ${CMAKE_BINARY_DIR}/kioskkitConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kioskkit)
endfunction()

# Adds every subfolder of the current folder that has a CMakeLists.txt, so that
# each area (tests/crypto, bench/transport, ...) owns its own build file.
function(kioskkit_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
