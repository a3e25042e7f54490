# Debian package of what a board needs (`cpack -G DEB` in a release build):
# ztpud, ztpu-provision and the service unit, the install component "board".
# Tests, benchmarks and the test plug-ins are never installed.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ztpud)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Phone-ticket daemon of the fare-gate board")
set(CPACK_PACKAGE_CONTACT "ztpu maintainers <ztpu@localhost>")
set(CPACK_COMPONENTS_ALL board)
set(CPACK_STRIP_FILES ON)

# The package's architecture is the target's, not the build machine's.
set(ztpu_deb_arch_of_x86_64-linux-gnu amd64)
set(ztpu_deb_arch_of_arm-linux-gnueabihf armhf)
set(ztpu_deb_arch_of_aarch64-linux-gnu arm64)
set(ztpu_deb_arch_of_i386-linux-gnu i386)
if(DEFINED ztpu_deb_arch_of_${CMAKE_LIBRARY_ARCHITECTURE})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ztpu_deb_arch_of_${CMAKE_LIBRARY_ARCHITECTURE}})
endif()
# Left unset for an unknown target: CPack then asks dpkg (the build machine).

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Declared rather than derived: dpkg-shlibdeps does not read a cross build.
# libsystemd0 serves the service manager's readiness and watchdog messages.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12), libssl3 (>= 3.0.0), libasound2 (>= 1.0.16), libsystemd0")
include(CPack)
