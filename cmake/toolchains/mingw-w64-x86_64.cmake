# Cross-build for 64-bit Windows with Debian's mingw-w64 (POSIX thread model,
# so std::thread and std::mutex come from winpthreads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVEL_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KORVEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEL_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${KORVEL_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads linked in: the DLLs and programs
# need nothing but Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
