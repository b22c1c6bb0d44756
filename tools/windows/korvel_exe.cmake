# korvel.exe: the korvel tool cross-built for Windows. The shared sources build
# unchanged over a small POSIX layer (windows/posix: the calls they make, in
# Windows terms); five files have Windows versions of their own (in
# korvel/windows: loading the DLL, Ctrl-C, the console without libedit, why
# no meter was found, service notifications that go nowhere), and serve and
# publish stay Linux-only.
set(korvel_cli_dir ${CMAKE_CURRENT_SOURCE_DIR}/korvel)
# CLI11 is header-only: Debian's copy, without the rest of /usr/include.
set(korvel_cli11_root ${CMAKE_CURRENT_BINARY_DIR}/cli11)
file(MAKE_DIRECTORY ${korvel_cli11_root})
file(CREATE_LINK /usr/include/CLI ${korvel_cli11_root}/CLI SYMBOLIC)

file(GLOB korvel_cli_core_sources CONFIGURE_DEPENDS ${korvel_cli_dir}/core/*.cpp)
list(REMOVE_ITEM korvel_cli_core_sources ${korvel_cli_dir}/core/library.cpp
     ${korvel_cli_dir}/core/stop_signals.cpp ${korvel_cli_dir}/core/missing_meter.cpp
     ${korvel_cli_dir}/core/service_notify.cpp ${korvel_cli_dir}/core/system_library.cpp)
add_library(korvel_cli_core STATIC ${korvel_cli_core_sources}
  ${korvel_cli_dir}/windows/library_win32.cpp ${korvel_cli_dir}/windows/stop_signals_win32.cpp
  ${korvel_cli_dir}/windows/missing_meter_win32.cpp ${korvel_cli_dir}/windows/service_notify_win32.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/posix/posix_win32.cpp)
# SYSTEM: searched before mingw's own headers, which the shims extend.
target_include_directories(korvel_cli_core SYSTEM PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/windows/posix)
target_include_directories(korvel_cli_core PUBLIC ${korvel_cli_dir}
                           ${PROJECT_SOURCE_DIR}/include ${korvel_cli11_root})
target_link_libraries(korvel_cli_core PUBLIC korvel_format korvel_warnings Threads::Threads)
# GCC 12's false -Wrestrict on std::string appends inlined at -O2 (GCC bug
# 105329); the Linux build (RelWithDebInfo) does not meet it.
target_compile_options(korvel_cli_core PUBLIC -Wno-restrict)
# _POSIX_C_SOURCE: mingw's gmtime_r and friends.
target_compile_definitions(korvel_cli_core PUBLIC KORVEL_CLI_VERSION="${PROJECT_VERSION}" _POSIX_C_SOURCE=200809L
  PRIVATE KORVEL_CLI_SONAME="${KORVEL_LIBRARY_NAME}.dll" KORVEL_CLI_SIM_SONAME="${KORVEL_LIBRARY_NAME}-sim.dll"
  KORVEL_USB_VENDOR_ID=${KORVEL_USB_VENDOR_ID} KORVEL_USB_PRODUCT_ID=${KORVEL_USB_PRODUCT_ID})

file(GLOB korvel_cli_sources CONFIGURE_DEPENDS ${korvel_cli_dir}/*.cpp ${korvel_cli_dir}/help/*.cpp)
list(REMOVE_ITEM korvel_cli_sources ${korvel_cli_dir}/console.cpp ${korvel_cli_dir}/serve.cpp
     ${korvel_cli_dir}/publish.cpp)
add_executable(korvel_cli ${korvel_cli_sources} ${korvel_cli_dir}/windows/console_win32.cpp
               ${korvel_cli_dir}/windows/linux_only.cpp)
target_link_libraries(korvel_cli PRIVATE korvel_cli_core)
# binmode.o: files and standard streams in binary mode, so logs and images
# hold the same bytes as on Linux (no CR added before LF).
target_link_options(korvel_cli PRIVATE ${CMAKE_FIND_ROOT_PATH}/lib/binmode.o)
set_target_properties(korvel_cli PROPERTIES OUTPUT_NAME korvel RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(korvel_cli korvel korvel_sim)
