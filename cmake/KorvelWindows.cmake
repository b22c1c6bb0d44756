# The Windows DLLs: korvel-x64.dll and korvel-x64-sim.dll (no "lib" prefix),
# each with an import library (.lib) and a module-definition file (.def).
#
# The real DLL exports exactly the functions the Linux library exports: the
# .def is written from the one list the Linux export test checks against
# (tests/exports/expected_exports.txt). The simulated DLL adds its korvelSim
# controls, taken from korvel_sim.h.
set(korvel_export_list ${PROJECT_SOURCE_DIR}/tests/exports/expected_exports.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${korvel_export_list} ${PROJECT_SOURCE_DIR}/include/korvel_sim.h)
file(STRINGS ${korvel_export_list} korvel_exports REGEX "^[A-Za-z_][A-Za-z0-9_]*$")
file(STRINGS ${PROJECT_SOURCE_DIR}/include/korvel_sim.h korvel_sim_lines REGEX "^KORVEL_API .*korvelSim[A-Za-z]*\\(")
set(korvel_sim_exports "")
foreach(line IN LISTS korvel_sim_lines)
  string(REGEX MATCH "korvelSim[A-Za-z]*" name "${line}")
  list(APPEND korvel_sim_exports ${name})
endforeach()

# korvel_write_def(FILE DLL NAMES...): the .def of one DLL.
function(korvel_write_def file dll)
  set(text "LIBRARY ${dll}\nEXPORTS\n")
  foreach(name IN LISTS ARGN)
    string(APPEND text "    ${name}\n")
  endforeach()
  file(GENERATE OUTPUT ${file} CONTENT "${text}")
endfunction()

set(KORVEL_DEF_FILE ${CMAKE_BINARY_DIR}/${KORVEL_LIBRARY_NAME}.def)
set(KORVEL_SIM_DEF_FILE ${CMAKE_BINARY_DIR}/${KORVEL_LIBRARY_NAME}-sim.def)
korvel_write_def(${KORVEL_DEF_FILE} ${KORVEL_LIBRARY_NAME}.dll ${korvel_exports})
korvel_write_def(${KORVEL_SIM_DEF_FILE} ${KORVEL_LIBRARY_NAME}-sim.dll ${korvel_exports} ${korvel_sim_exports})

foreach(dll korvel korvel_sim)
  set_target_properties(${dll} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib"
    LINK_OPTIONS "-Wl,--no-undefined" LINK_DEPENDS "")
endforeach()
# With the .def on the command line the linker exports what it names (the
# functions also carry dllexport, so nothing else is exported either way).
target_sources(korvel PRIVATE ${KORVEL_DEF_FILE})
target_sources(korvel_sim PRIVATE ${KORVEL_SIM_DEF_FILE})
