# Installation and the Debian packages: porttest (the program and its manual)
# and boardsim (the launcher, its preload library and its manual). boardsim
# needs nothing of porttest, but is there to run it, so it recommends it.
#
#   cmake -S . -B build/pkg -DPORTTEST_HARDEN=ON && cmake --build build/pkg
#   cd build/pkg && cpack -G DEB
#
# A package installs under /usr whatever prefix the build was configured
# with (that is for `cmake --install`). Its files carry the time of the last
# commit (SOURCE_DATE_EPOCH, unless set already), so building the same tree
# twice gives the same bytes. scripts/package.sh does this for every
# architecture and checks each package with lintian.

install(TARGETS porttest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT porttest)

# The release's time: SOURCE_DATE_EPOCH where set, else the last commit's.
# The packages' files carry it, and the manual pages its date.
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE last_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH} OR last_commit_time STREQUAL "")
  string(TIMESTAMP MAN_DATE "%Y-%m-%d" UTC) # string(TIMESTAMP) honours SOURCE_DATE_EPOCH
else()
  set(ENV{SOURCE_DATE_EPOCH} ${last_commit_time})
  string(TIMESTAMP MAN_DATE "%Y-%m-%d" UTC)
  unset(ENV{SOURCE_DATE_EPOCH})
endif()

# Manual pages and the documents Debian asks for, compressed as it wants them:
# gzip -9n leaves no name or time stamp in the file, so builds are repeatable.
find_program(GZIP gzip REQUIRED)
set(doc_out ${CMAKE_BINARY_DIR}/doc)
set(VERSION ${PROJECT_VERSION}) # @VERSION@ in the pages and the changelog; @MAN_DATE@ in the pages
foreach(pkg porttest boardsim)
  configure_file(${PROJECT_SOURCE_DIR}/man/${pkg}.1 ${doc_out}/${pkg}.1 @ONLY)
  set(PKG ${pkg})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${doc_out}/${pkg}/changelog @ONLY)
  add_custom_command(OUTPUT ${doc_out}/${pkg}.1.gz ${doc_out}/${pkg}/changelog.gz
    COMMAND ${GZIP} -9nc ${doc_out}/${pkg}.1 > ${doc_out}/${pkg}.1.gz
    COMMAND ${GZIP} -9nc ${doc_out}/${pkg}/changelog > ${doc_out}/${pkg}/changelog.gz
    DEPENDS ${doc_out}/${pkg}.1 ${doc_out}/${pkg}/changelog VERBATIM)
  list(APPEND doc_files ${doc_out}/${pkg}.1.gz ${doc_out}/${pkg}/changelog.gz)
  install(FILES ${doc_out}/${pkg}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${pkg})
  install(FILES ${doc_out}/${pkg}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${pkg})
endforeach()
add_custom_target(docs ALL DEPENDS ${doc_files})

set(CPACK_PACKAGE_NAME porttest)
set(CPACK_PACKAGE_VENDOR "porttest developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "porttest maintainers <porttest@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL porttest boardsim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without this a cross-built package would carry the build machine's.
if(PORTTEST_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PORTTEST_DEB_ARCH})
endif()

set(CPACK_DEBIAN_PORTTEST_PACKAGE_NAME porttest)
set(CPACK_DEBIAN_PORTTEST_DESCRIPTION "bench test for the eight-port serial board
porttest tests one port of the eight-port serial board (COM2 to COM9) at
each key press: fitted with a loopback plug, each of the port's six device
nodes must return a test pattern and loop RTS to CTS and DTR to DCD.
It prints a FAIL line for every failed check and a verdict per port.")
set(CPACK_DEBIAN_BOARDSIM_PACKAGE_NAME boardsim)
set(CPACK_DEBIAN_BOARDSIM_PACKAGE_RECOMMENDS porttest)
set(CPACK_DEBIAN_BOARDSIM_DESCRIPTION "simulated eight-port serial board for porttest
boardsim runs a command with the serial board's 48 device nodes simulated
inside it, each with a loopback plug fitted, and faults that can be
switched on per node: absent, busy or silent nodes, lost, altered or late
bytes, stuck handshake lines. Nothing is written to /dev and no root is
needed.")

# Reproducible packages: the DEB generator stamps every file with
# SOURCE_DATE_EPOCH when it is set; cpack reads this file when it runs.
# A package made without dpkg-shlibdeps would name no dependency at all, and
# CPack cannot make one without file: cpack stops, and says what to install.
set(package_config ${CMAKE_BINARY_DIR}/package-config.cmake)
file(WRITE ${package_config} "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT \"${last_commit_time}\" STREQUAL \"\")
  set(ENV{SOURCE_DATE_EPOCH} ${last_commit_time})
endif()
if(CPACK_GENERATOR STREQUAL \"DEB\")
  find_program(shlibdeps dpkg-shlibdeps)
  find_program(file_utility file)
  if(NOT shlibdeps OR NOT file_utility)
    message(FATAL_ERROR \"cpack -G DEB needs dpkg-shlibdeps and file: apt-get install dpkg-dev file\")
  endif()
endif()
")
set(CPACK_PROJECT_CONFIG_FILE ${package_config})

include(CPack)
