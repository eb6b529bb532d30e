# The release packages, made in the build directory by CPack: on Linux
# the Debian package (`cpack -G DEB`), in the Windows cross build a zip
# (`cpack -G ZIP`).  Both take their version from project(VERSION).

set(CPACK_PACKAGE_NAME wavorbit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "play a waveform audio file in an endless loop until Return")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

if(WIN32)
  # wavorbit-X.Y.Z-win64.zip, one folder of that name inside holding
  # wavorbit.exe, LICENSE.txt and README.txt.  The texts get CR LF line
  # ends and a .txt name, so that Notepad on any Windows opens them.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME wavorbit-${PROJECT_VERSION}-win64)
  set(CPACK_STRIP_FILES ON)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt.in
                 README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
                ${CMAKE_CURRENT_BINARY_DIR}/README.txt
          DESTINATION .)
  include(CPack)
  return()
endif()

# The Debian package.  Its dependencies are worked out by dpkg-shlibdeps
# (from dpkg-dev) from the libraries the binary links.  Debian policy
# wants /usr/share/doc/wavorbit/copyright (machine-readable, from LICENSE)
# and, for a package that is its own upstream, changelog.gz (from
# CHANGELOG.md).
set(WAVORBIT_MAINTAINER "wavorbit developers <wavorbit@example.invalid>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

string(REGEX REPLACE "^Copyright \\([cC]\\) " "" license_holder "${WAVORBIT_COPYRIGHT}")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license_holder OR NOT license MATCHES "\n(Permission.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no MIT license text after a copyright line")
endif()
# A copyright file's license text: each line indented by one blank, an
# empty line written " .".
string(REPLACE "\n\n" "\n.\n" license_text "${CMAKE_MATCH_1}")
string(REPLACE "\n" "\n " license_text " ${license_text}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in copyright @ONLY)

add_custom_command(
  OUTPUT changelog.gz
  COMMAND awk -v version=${PROJECT_VERSION} -v "maintainer=${WAVORBIT_MAINTAINER}"
          -f ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.awk
          ${PROJECT_SOURCE_DIR}/CHANGELOG.md > changelog
  COMMAND gzip -9nf changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.awk
  COMMENT "Debian changelog.gz from CHANGELOG.md"
  VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
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
