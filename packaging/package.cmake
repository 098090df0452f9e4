# The Debian package: `cpack -G DEB` in the build folder (scripts/package)
# writes oxu-updater_<version>_<arch>.deb from the install rules.

set(CPACK_PACKAGE_NAME oxu-updater)
set(CPACK_PACKAGE_VERSION ${OXU_VERSION})
set(CPACK_PACKAGE_VENDOR "OXU Updater developers")
set(CPACK_PACKAGE_CONTACT ${OXU_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-line firmware uploader for OXU devices")
# The long description as the package shows it: lines under 80 columns, an
# empty line between paragraphs.
set(CPACK_PACKAGE_DESCRIPTION [=[
OXU Updater sends a firmware image to an OXU device over a serial line.
The operator picks the port (1 to 16) and the baud rate (9600, 19200 or
38400), then starts the update: the device requests the image page by page
and the program answers every request until the device reports completion.
It can also send the device its download command.

The package has the window for the operator (oxu-updater), the same update
from a terminal or a script (oxu-update), a window for a production line
with one tile per port, up to 16 at once (oxu-station), and a simulated
device on a pseudo-terminal to try them without hardware (oxu-device-sim).]=])
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/copyright)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${OXU_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries come from the programs themselves (dpkg-shlibdeps); the window
# also needs Qt's display plugins, which no program links to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The window's fonts where Tahoma is missing; completion needs bash-completion.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

execute_process(
    COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE OXU_DEB_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE dpkg_result
    ERROR_QUIET)
if(dpkg_result EQUAL 0)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${OXU_DEB_ARCHITECTURE})
    set(CPACK_DEBIAN_FILE_NAME "oxu-updater_${OXU_VERSION}_${OXU_DEB_ARCHITECTURE}.deb")
endif()

include(CPack)
