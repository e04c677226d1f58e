# Documents that ship gzipped, as Debian wants them: the changelog and the
# programs' manual pages.

# kestro_gzip(<target> <input> <output>)
# A target that keeps <output> the gzip -9 of <input>, without a time stamp or
# name inside, so that two builds give the same bytes.
function(kestro_gzip target input output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${input} ${output}
    DEPENDS ${input}
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

# kestro_man_page(<program target> <one-line description> <install component>)
# The program's manual page, made by help2man from its own --help and
# --version (dated by SOURCE_DATE_EPOCH when set) and installed gzipped. A
# cross build runs the program through its emulator. The program finds the
# project's libraries in the build folder also when it is linked with its
# install RPATH (none), as the package build links it.
find_program(HELP2MAN help2man)
function(kestro_man_page program description component)
  if(NOT HELP2MAN)
    message(STATUS "help2man not found: ${program} goes without its manual page")
    return()
  endif()
  set(run $<TARGET_FILE:${program}>)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    # help2man starts one executable, named as the program it documents.
    string(REPLACE ";" " " emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    set(run ${CMAKE_CURRENT_BINARY_DIR}/emulated/${program})
    file(GENERATE OUTPUT ${run}
      CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${program}> \"$@\"\n"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=$<TARGET_FILE_DIR:i2c-kestro>
      ${HELP2MAN} --no-info --no-discard-stderr --name ${description} --output ${page} ${run}
    DEPENDS ${program}
    COMMENT "Writing the manual page of ${program}"
    VERBATIM)
  kestro_gzip(${program}-man ${page} ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
