# The library's layers as build targets. Calls go one way:
#   selftest -> scpi -> (format, commands) -> link -> wire
# and each layer compiles with an include root that holds only the folders
# (or single headers) of the source tree it may use, so an include of a
# higher layer fails to compile. tests/layers checks the objects' symbols.

# Everything every layer shares: warnings, the public header, the USB ids.
add_library(korvel_layer_base INTERFACE)
target_include_directories(korvel_layer_base INTERFACE ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(korvel_layer_base INTERFACE
  KORVEL_USB_VENDOR_ID=${KORVEL_USB_VENDOR_ID} KORVEL_USB_PRODUCT_ID=${KORVEL_USB_PRODUCT_ID})
target_link_libraries(korvel_layer_base INTERFACE korvel_warnings)

# korvel_layer(NAME SOURCES... SEES path...): an object library whose include
# root links only the given paths (relative to the source tree).
function(korvel_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "SOURCES;SEES")
  add_library(${name} OBJECT ${layer_SOURCES})
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  file(REMOVE_RECURSE ${root})
  foreach(path IN LISTS layer_SEES)
    get_filename_component(parent ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${root}/${path} SYMBOLIC)
  endforeach()
  file(MAKE_DIRECTORY ${root})
  target_include_directories(${name} PRIVATE ${root})
  target_link_libraries(${name} PRIVATE korvel_layer_base)
endfunction()
