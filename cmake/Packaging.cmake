# Debian packages, one per install component, built by CPack (`make package`
# at the top of the tree configures a build for it). Run-time dependencies are
# computed by dpkg-shlibdeps; those of the headers are named by hand.
set(KESTRO_PACKAGE_MAINTAINER "i2c-kestro maintainers <maintainers@i2c-kestro.example>"
  CACHE STRING "Maintainer field of the Debian packages")
set(kestro_debian ${PROJECT_SOURCE_DIR}/packaging/debian)

# The changelog's newest entry names the version being packaged.
file(STRINGS ${kestro_debian}/changelog kestro_changelog_head LIMIT_COUNT 1)
if(NOT kestro_changelog_head MATCHES "^i2c-kestro \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the first entry must be for version ${PROJECT_VERSION}")
endif()
kestro_gzip(package-changelog ${kestro_debian}/changelog ${PROJECT_BINARY_DIR}/changelog.gz)

# kestro_debian_package(<component> <package> <section> <summary> <description>)
function(kestro_debian_package component package section summary description)
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  install(FILES ${kestro_debian}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endfunction()

kestro_debian_package(lib libi2c-kestro0 libs
  "I2C master class library for a board's microcontroller nodes"
  "The board controller (configuration file, GPIO line, device list from an
HTTPS device API, node discovery, bus scan, clock synchronisation), the node
command protocol with its SHA-256-checked file transfers, the I2C master
channel over i2c-dev, the frame builder and parser and the CSV file logger,
as one shared library.")
kestro_debian_package(dev libi2c-kestro-dev libdevel
  "I2C master class library for a board's nodes - development files"
  "Public headers under /usr/include/i2c-kestro, the pkg-config module
i2c-kestro and the CMake package i2c-kestro (imported targets such as
i2c-kestro::sbc) for building board applications with the library.")
kestro_debian_package(tools i2c-kestro electronics
  "operator tool for a board's I2C microcontroller nodes"
  "i2c-kestro-cli with its manual page and bash completion, the board agent's
systemd unit i2c-kestro-agent.service (installed disabled) with its system
user and its settings /etc/i2c-kestro/agent.json, and the board's files: the
configuration /etc/i2c-kestro/config.json, the log file
/var/log/NorvaneLogger.logs with its logrotate rule, and a udev rule that
lets members of the i2c and gpio groups reach the I2C buses and GPIO chips.")
kestro_debian_package(sim i2c-kestro-sim devel
  "simulated board for running i2c-kestro programs without hardware"
  "i2c-kestro-sim runs a program against simulated I2C buses with nodes that
speak the whole command protocol, a simulated GPIO chip and a local HTTPS
device API, as a scenario file describes them.")

set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libjson-c-dev, libgpiod-dev")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "adduser")
# A shlibs file for every package with a versioned shared library: the library's.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Files under /etc are the administrator's once installed.
configure_file(${kestro_debian}/conffiles.in ${PROJECT_BINARY_DIR}/debian/conffiles @ONLY)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian/conffiles ${kestro_debian}/postinst ${kestro_debian}/prerm
  ${kestro_debian}/postrm)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${kestro_debian}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The Debian name of the architecture built for, also when cross-building.
execute_process(
  COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "i2c-kestro")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_COMPONENTS_ALL lib dev tools sim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KESTRO_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' own library is found here; their package names it exactly.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
include(CPack)
