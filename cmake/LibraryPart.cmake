# kestro_library_part(<name> SOURCES <files...> [HEADERS <public headers...>] [USES <parts...>])
# One folder of the class library. Its sources go into the shared library
# i2c-kestro; the target <name>, which tests and programs of this tree link,
# gives the folder's headers, the parts it builds on and the library itself.
# A part with public headers installs them under include/i2c-kestro/ and is
# exported as i2c-kestro::<name>; one without is internal to the library.
function(kestro_library_part name)
  cmake_parse_arguments(P "" "" "SOURCES;HEADERS;USES" ${ARGN})
  target_sources(i2c-kestro PRIVATE ${P_SOURCES})
  target_include_directories(i2c-kestro PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
  target_link_libraries(${name} INTERFACE i2c-kestro ${P_USES})
  if(P_HEADERS)
    install(FILES ${P_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/i2c-kestro COMPONENT dev)
    install(TARGETS ${name} EXPORT i2c-kestro-targets)
  endif()
endfunction()
