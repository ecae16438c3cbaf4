# SPDX-License-Identifier: MIT
# A Debian package of the installed tree: `cpack -G DEB` in the build folder.

# Every Debian package carries its copyright and, being its own upstream, a changelog.
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${_changelog} @ONLY)
add_custom_command(OUTPUT ${_changelog}.gz
  COMMAND gzip -9 -n -c ${_changelog} > ${_changelog}.gz
  DEPENDS ${_changelog}
  VERBATIM)
add_custom_target(tessaro_changelog ALL DEPENDS ${_changelog}.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(TESSARO_WITH_LIBREOFFICE)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides RENAME tessaro
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
endif()

set(CPACK_PACKAGE_NAME tessaro)
set(CPACK_PACKAGE_VENDOR Orvandel)
set(CPACK_PACKAGE_CONTACT "Orvandel <support@orvandel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy worksheets into many spreadsheet workbooks at once")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tessaro)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.orvandel.example/)
# The libraries the programs really load, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# LibreOffice opens .xls, .xlsb and .ods workbooks; the rest works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libreoffice-calc-nogui | libreoffice-calc, fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description; CPack puts the summary above it and indents it for the control file.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tessaro copies worksheets from source spreadsheet workbooks into many
destination workbooks at once, in a window (tessaro) or from a terminal
(tessaro-cli). Its own engine reads and writes Office Open XML workbooks
(.xlsx, .xlsm, .xltx, .xltm): a copy looks, formats and computes like its
source, and a destination is never left half written.

With LibreOffice installed it also works on .xls and .ods workbooks, and
reads .xlsb workbooks.")

include(CPack)
