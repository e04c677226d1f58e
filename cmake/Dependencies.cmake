# Every external library comes from the distribution's packages. Each one is
# exposed as an imported target Deps::<name> so that library targets only say
# what they use.
find_package(PkgConfig REQUIRED)

find_package(CLI11 CONFIG REQUIRED)

pkg_check_modules(JSONC REQUIRED IMPORTED_TARGET json-c)
add_library(Deps::jsonc ALIAS PkgConfig::JSONC)

pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
add_library(Deps::curl ALIAS PkgConfig::CURL)

pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)
add_library(Deps::mosquitto ALIAS PkgConfig::MOSQUITTO)

# The distribution's curlpp.pc names flags that do not exist, so look the
# library up by hand.
find_path(CURLPP_INCLUDE_DIR curlpp/cURLpp.hpp REQUIRED)
find_library(CURLPP_LIBRARY curlpp REQUIRED)
add_library(Deps::curlpp UNKNOWN IMPORTED)
set_target_properties(Deps::curlpp PROPERTIES
  IMPORTED_LOCATION "${CURLPP_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${CURLPP_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES PkgConfig::CURL)

# libgpiod's version 1 interface (1.6) or its version 2 interface (2.x): "auto" builds against
# whichever pkg-config finds, 1 or 2 insists on that one. Everything that links Deps::gpiod sees
# the choice as KESTRO_GPIOD_API.
set(KESTRO_GPIOD_API auto CACHE STRING "libgpiod interface to build against: auto, 1 or 2")
set_property(CACHE KESTRO_GPIOD_API PROPERTY STRINGS auto 1 2)
if(NOT KESTRO_GPIOD_API MATCHES "^(auto|1|2)$")
  message(FATAL_ERROR "KESTRO_GPIOD_API is '${KESTRO_GPIOD_API}'; use auto, 1 or 2")
endif()
pkg_check_modules(GPIOD REQUIRED IMPORTED_TARGET libgpiod)
string(REGEX MATCH "^[0-9]+" KESTRO_GPIOD_MAJOR "${GPIOD_VERSION}")
if(GPIOD_VERSION VERSION_LESS 1.6 OR KESTRO_GPIOD_MAJOR GREATER 2)
  message(FATAL_ERROR "pkg-config finds libgpiod ${GPIOD_VERSION}; the build needs 1.6 or a later 1.x, or 2.x")
endif()
if(NOT KESTRO_GPIOD_API STREQUAL "auto" AND NOT KESTRO_GPIOD_MAJOR EQUAL KESTRO_GPIOD_API)
  message(FATAL_ERROR "KESTRO_GPIOD_API=${KESTRO_GPIOD_API} but pkg-config finds libgpiod ${GPIOD_VERSION}: "
    "point PKG_CONFIG_PATH at a libgpiod ${KESTRO_GPIOD_API}.x, or use KESTRO_GPIOD_API=auto")
endif()
message(STATUS "libgpiod ${GPIOD_VERSION}: building against its version ${KESTRO_GPIOD_MAJOR} interface")
set_property(TARGET PkgConfig::GPIOD APPEND PROPERTY
  INTERFACE_COMPILE_DEFINITIONS KESTRO_GPIOD_API=${KESTRO_GPIOD_MAJOR})
add_library(Deps::gpiod ALIAS PkgConfig::GPIOD)

# libi2c ships no pkg-config file.
find_path(I2C_INCLUDE_DIR i2c/smbus.h REQUIRED)
find_library(I2C_LIBRARY i2c REQUIRED)
add_library(Deps::i2c UNKNOWN IMPORTED)
set_target_properties(Deps::i2c PROPERTIES
  IMPORTED_LOCATION "${I2C_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${I2C_INCLUDE_DIR}")

# The simulator's digests and its HTTPS device API.
find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

if(KESTRO_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KESTRO_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
