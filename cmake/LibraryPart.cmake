# kestro_library_part(<name> SOURCES <files...> [LIBRARY <library>] [HEADERS <public headers...>]
#                     [USES <parts...>])
# One folder of the class library. Its sources go into the shared library
# <library>, i2c-kestro (the core) unless named; the target <name>, which tests
# and programs of this tree link, gives the folder's headers, the parts it
# builds on and the library itself. A part with public headers installs them
# under include/i2c-kestro/ and is exported as i2c-kestro::<name>; one without
# is internal to the library.
function(kestro_library_part name)
  cmake_parse_arguments(P "" "LIBRARY" "SOURCES;HEADERS;USES" ${ARGN})
  if(NOT P_LIBRARY)
    set(P_LIBRARY i2c-kestro)
  endif()
  target_sources(${P_LIBRARY} PRIVATE ${P_SOURCES})
  target_include_directories(${P_LIBRARY} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  # The core's parts see each other through the core's own include folders; a
  # library built on the core takes the headers of the parts it uses from them.
  if(NOT P_LIBRARY STREQUAL "i2c-kestro")
    target_link_libraries(${P_LIBRARY} PRIVATE ${P_USES})
  endif()
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
  target_link_libraries(${name} INTERFACE ${P_LIBRARY} ${P_USES})
  if(P_HEADERS)
    install(FILES ${P_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/i2c-kestro COMPONENT dev)
    install(TARGETS ${name} EXPORT i2c-kestro-targets)
  endif()
endfunction()
