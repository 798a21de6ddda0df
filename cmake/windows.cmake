# Settings for the Windows builds.

# The executable must run on a bare Windows: with the C and C++ runtimes linked in, its import
# table names only system DLLs (KERNEL32, WSOCK32, msvcrt). ICMP.DLL is loaded by name at run
# time and never imported.
add_link_options(-static -static-libgcc -static-libstdc++)

# Test programs run under Wine here. Discovery waits until ctest runs, so a build that cannot
# run its programs (the 32-bit one on a 64-bit-only kernel) still builds every test.
set(VAKTO_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-unit CACHE PATH "Wine prefix for the unit tests")
if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND CMAKE_CROSSCOMPILING)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(wine_loader /usr/lib/wine/wine64)
  else()
    set(wine_loader /usr/lib/wine/wine)
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEDEBUG=-all WINEPREFIX=${VAKTO_WINEPREFIX} ${wine_loader})
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Debian packages no GoogleTest for the cross compilers; build it from the sources it ships.
macro(vakto_windows_googletest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  # Its own project defines the GTest:: names that the tests link.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endmacro()
