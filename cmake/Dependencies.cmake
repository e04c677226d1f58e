# Every external library comes from the distribution's packages. Each one is
# exposed as an imported target Deps::<name> so that library targets only say
# what they use.
find_package(PkgConfig REQUIRED)

find_package(CLI11 CONFIG REQUIRED)

pkg_check_modules(JSONC REQUIRED IMPORTED_TARGET json-c)
add_library(Deps::jsonc ALIAS PkgConfig::JSONC)

pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
add_library(Deps::curl ALIAS PkgConfig::CURL)

# The distribution's curlpp.pc names flags that do not exist, so look the
# library up by hand.
find_path(CURLPP_INCLUDE_DIR curlpp/cURLpp.hpp REQUIRED)
find_library(CURLPP_LIBRARY curlpp REQUIRED)
add_library(Deps::curlpp UNKNOWN IMPORTED)
set_target_properties(Deps::curlpp PROPERTIES
  IMPORTED_LOCATION "${CURLPP_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${CURLPP_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES PkgConfig::CURL)

# Only the version 1 interface of libgpiod is supported.
pkg_check_modules(GPIOD REQUIRED IMPORTED_TARGET "libgpiod >= 1.6" "libgpiod < 2")
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
