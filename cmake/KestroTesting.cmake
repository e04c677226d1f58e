include(GoogleTest)

# kestro_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One GoogleTest binary whose cases are registered with CTest one by one.
# Discovery runs before each test run, so it also works when the binaries
# run under an emulator.
function(kestro_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  # Tests that start a program of this build go through the emulator of a cross build.
  string(REPLACE ";" " " emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/test/support)
  target_compile_definitions(${name} PRIVATE "KESTRO_TARGET_EMULATOR=\"${emulator}\""
    KESTRO_SIM_LAUNCHER="$<TARGET_FILE:i2c-kestro-sim>"
    KESTRO_TEST_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
  # Table rows are named by their name generators, never by their parameter bytes, so the
  # names read as behaviours and stay the same from build to build.
  gtest_discover_tests(${name}
    NO_PRETTY_VALUES
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300)
endfunction()
