# GoogleTest for the Windows test programs, built with the cross compiler
# from the sources Debian's libgtest-dev ships.
set(KORVEL_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources (libgtest-dev)")
add_subdirectory(${KORVEL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Test lists are read when CTest runs (under an emulator), never at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
# The suites the Windows tier runs; the rest need Linux (usbfs, serve, the
# CLI's pytest, fork()) or restate these.
set(KORVEL_WINDOWS_TEST_DIRS link commands scpi sim windows)
# M_PI and friends, which glibc declares by default and mingw only on request.
add_compile_definitions(_USE_MATH_DEFINES)
# GCC 12's false -Wrestrict on std::string appends inlined at -O2 (GCC bug
# 105329), which the Linux build (RelWithDebInfo, glibc) does not meet.
add_compile_options(-Wno-restrict)
