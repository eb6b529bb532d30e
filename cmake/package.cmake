# The Debian package, made in the build directory by `cpack -G DEB`.
# Its version is the project's; its dependencies are worked out by
# dpkg-shlibdeps (from dpkg-dev) from the libraries the binary links.

set(WAVORBIT_MAINTAINER "wavorbit developers <wavorbit@example.invalid>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wavorbit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "play a waveform audio file in an endless loop until Return")
set(CPACK_PACKAGE_DESCRIPTION
    "wavorbit is a small console program that plays one sound file over and
over, sample-exact and without a gap at the seam, through ALSA's default
device, until Return is pressed or its standard input ends. It reads any
format libsndfile decodes: WAV, AIFF, FLAC, Ogg Vorbis and Opus, and more.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/gzip-man-pages.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WAVORBIT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
