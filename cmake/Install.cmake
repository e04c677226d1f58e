# What `cmake --install` puts where, by component: lib (the shared libraries),
# dev (headers, pkg-config file, CMake package) and tools (the board's files).
# Programs add their own rules next to their targets.
include(CMakePackageConfigHelpers)

target_compile_features(i2c-kestro PUBLIC cxx_std_20)
# Users of the installed board library see the libgpiod interface it was built
# for, as those in this tree do through Deps::gpiod.
target_compile_definitions(i2c-kestro-sbc INTERFACE
  $<INSTALL_INTERFACE:KESTRO_GPIOD_API=${KESTRO_GPIOD_MAJOR}>)
install(TARGETS i2c-kestro i2c-kestro-sbc EXPORT i2c-kestro-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)

set(KESTRO_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/i2c-kestro)
install(EXPORT i2c-kestro-targets NAMESPACE i2c-kestro::
  DESTINATION ${KESTRO_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(cmake/i2c-kestro-config.cmake.in
  ${PROJECT_BINARY_DIR}/i2c-kestro-config.cmake
  INSTALL_DESTINATION ${KESTRO_CMAKE_PACKAGE_DIR})
# The shared library's SONAME changes with the major version only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/i2c-kestro-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/i2c-kestro-config.cmake
    ${PROJECT_BINARY_DIR}/i2c-kestro-config-version.cmake
  DESTINATION ${KESTRO_CMAKE_PACKAGE_DIR} COMPONENT dev)

# The pkg-config module finds the tree it lies in from its own folder, as the
# CMake package does: `cmake --install --prefix DIR` and an unpacked package
# work as well as an install into the prefix chosen when configuring.
set(KESTRO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KESTRO_PKGCONFIG_TO_PREFIX /${KESTRO_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" KESTRO_PKGCONFIG_TO_PREFIX "${KESTRO_PKGCONFIG_TO_PREFIX}")
configure_file(cmake/i2c-kestro.pc.in ${PROJECT_BINARY_DIR}/i2c-kestro.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/i2c-kestro.pc DESTINATION ${KESTRO_PKGCONFIG_DIR} COMPONENT dev)

# Installing into /usr means the board's own /etc and /var, as the packages do;
# any other prefix keeps them under the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KESTRO_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
else()
  set(KESTRO_SYSCONFDIR ${CMAKE_INSTALL_SYSCONFDIR})
endif()
# The configuration holds the device API's key and the Wi-Fi passwords: no
# one but its owner and group reads it (the package's postinst hands it to
# the group i2c).
install(FILES ${PROJECT_SOURCE_DIR}/examples/config.json
  DESTINATION ${KESTRO_SYSCONFDIR}/i2c-kestro COMPONENT tools
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES packaging/board/agent.json
  DESTINATION ${KESTRO_SYSCONFDIR}/i2c-kestro COMPONENT tools)
install(FILES packaging/board/logrotate RENAME i2c-kestro
  DESTINATION ${KESTRO_SYSCONFDIR}/logrotate.d COMPONENT tools)
# tmpfiles.d, sysusers.d and udev rules live under lib/ whatever the library
# folder is.
install(FILES packaging/board/tmpfiles.conf RENAME i2c-kestro.conf
  DESTINATION lib/tmpfiles.d COMPONENT tools)
install(FILES packaging/board/udev.rules RENAME 60-i2c-kestro.rules
  DESTINATION lib/udev/rules.d COMPONENT tools)
install(FILES packaging/board/sysusers.conf RENAME i2c-kestro.conf
  DESTINATION lib/sysusers.d COMPONENT tools)
# Debian 12's packages ship their systemd units in /lib/systemd/system.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KESTRO_SYSTEMD_UNITDIR /lib/systemd/system)
else()
  set(KESTRO_SYSTEMD_UNITDIR lib/systemd/system)
endif()
install(FILES packaging/board/i2c-kestro-agent.service
  DESTINATION ${KESTRO_SYSTEMD_UNITDIR} COMPONENT tools)
