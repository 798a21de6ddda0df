# Install rules and packages.
#
# Linux: bin/vakto, the helper library in the tool's private folder lib/vakto/ (where the tool
# looks when icmp.so is not beside it), the manual page, and a Debian package.
# Windows: vakto.exe and a short text manual side by side, and a zip of the two.

set(CPACK_PACKAGE_NAME vakto)
set(CPACK_PACKAGE_VENDOR "vakto developers")
set(CPACK_PACKAGE_CONTACT "vakto developers <vakto@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send ICMP echo requests and report each answer on one line")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

if(WIN32)
  # Notepad and the command prompt's "type" want CR LF, as everything else the tool writes there.
  configure_file(${PROJECT_SOURCE_DIR}/doc/vakto.txt ${PROJECT_BINARY_DIR}/vakto.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(TARGETS vakto RUNTIME DESTINATION . COMPONENT vakto)
  install(FILES ${PROJECT_BINARY_DIR}/vakto.txt DESTINATION . COMPONENT vakto)

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(windows_kind win64)
  else()
    set(windows_kind win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vakto-${PROJECT_VERSION}-${windows_kind})
  include(CPack)
  return()
endif()

install(TARGETS vakto RUNTIME DESTINATION bin COMPONENT vakto)
install(TARGETS icmp LIBRARY DESTINATION lib/vakto COMPONENT vakto)
install(FILES ${PROJECT_SOURCE_DIR}/doc/vakto.1 DESTINATION share/man/man1 COMPONENT vakto)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/vakto COMPONENT vakto)

# Where ping_group_range does not admit the user, the tool needs CAP_NET_RAW, as ping does.
# The capability is a property of the installed file, so it is given here and not at build
# time. A staged install (DESTDIR) is someone else's package: its own install step sets it.
install(
  CODE [[
  set(vakto_binary "${CMAKE_INSTALL_PREFIX}/bin/vakto")
  set(vakto_hint "Without it, vakto works for the users that net.ipv4.ping_group_range admits; to let everyone use it, run as root: setcap cap_net_raw+ep ${vakto_binary}")
  find_program(vakto_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
  execute_process(COMMAND id -u OUTPUT_VARIABLE vakto_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT "$ENV{DESTDIR}" STREQUAL "")
    message(STATUS "vakto: staged install into DESTDIR; CAP_NET_RAW is left to the package's own install step.")
  elseif(NOT vakto_uid STREQUAL "0")
    message(STATUS "vakto: not installing as root, so CAP_NET_RAW was not given to ${vakto_binary}. ${vakto_hint}")
  elseif(NOT vakto_setcap)
    message(STATUS "vakto: setcap was not found (Debian package libcap2-bin), so CAP_NET_RAW was not given to ${vakto_binary}. ${vakto_hint}")
  else()
    execute_process(COMMAND ${vakto_setcap} cap_net_raw+ep ${vakto_binary}
                    RESULT_VARIABLE vakto_setcap_status ERROR_VARIABLE vakto_setcap_error
                    ERROR_STRIP_TRAILING_WHITESPACE)
    if(vakto_setcap_status EQUAL 0)
      message(STATUS "vakto: gave ${vakto_binary} the capability cap_net_raw+ep (setcap), so every user can ping with it.")
    else()
      message(STATUS "vakto: setcap cap_net_raw+ep ${vakto_binary} failed (${vakto_setcap_error}); the file system may not keep capabilities. ${vakto_hint}")
    endif()
  endif()
]]
  COMPONENT capability)

# The package holds the files alone: the capability cannot travel inside a .deb, so the
# package's postinst sets it on the machine it is installed on.
set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};vakto;vakto;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcap2-bin)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vakto sends ICMP echo requests to one host, one after another, and writes one
line per request: the address that answered, the payload size, the round-trip
time, the answer's time-to-live and the local time the request was sent.
Options set the number of requests, run until stopped, the payload size, the
pause between requests, and a log file that receives every report line.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(
  CONFIGURE
  OUTPUT ${PROJECT_BINARY_DIR}/debian/postinst
  CONTENT [[#!/bin/sh
set -e
# Lets users that net.ipv4.ping_group_range does not admit send echo requests too. Never
# setuid: the tool writes log files where it is told to.
if [ "$1" = configure ]; then
  if command -v setcap >/dev/null 2>&1; then
    if setcap cap_net_raw+ep /usr/bin/vakto; then
      echo "vakto: gave /usr/bin/vakto the capability cap_net_raw+ep."
    else
      echo "vakto: setcap failed; vakto works for the users that net.ipv4.ping_group_range admits." >&2
    fi
  else
    echo "vakto: setcap not found (package libcap2-bin); vakto works for the users that net.ipv4.ping_group_range admits." >&2
  fi
fi
exit 0
]]
  @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst)
include(CPack)
