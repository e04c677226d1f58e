# Writes OUTPUT, a source file defining kBuildStamp, the time of this build as
# "Mon Jun 23 10:32:13 2025". Run with cmake -P on every build; the file is
# rewritten only when the stamp changes, so an unchanged stamp rebuilds nothing.
# Under SOURCE_DATE_EPOCH the stamp is that moment in UTC, for reproducible
# builds; otherwise it is the local time now.
if(NOT OUTPUT)
  message(FATAL_ERROR "BuildStamp.cmake needs -DOUTPUT=<file>")
endif()

set(format "%a %b %d %H:%M:%S %Y")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP stamp "${format}" UTC)
else()
  string(TIMESTAMP stamp "${format}")
endif()

set(content "#include \"BuildStamp.h\"\n\nconst char kBuildStamp[] = \"${stamp}\";\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous STREQUAL content)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${content}")
