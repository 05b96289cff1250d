# What an installation holds, and the package made of it: on Windows a ZIP
# of Lindqvar.exe, README and LICENSE; elsewhere a Debian package with the
# man page and the changelog gzip-compressed and a copyright file in the
# Debian format made from LICENSE.
set(CPACK_PACKAGE_NAME lindqvar)
set(CPACK_PACKAGE_VENDOR "the Lindqvar authors")
set(CPACK_PACKAGE_CONTACT "Lindqvar developers <dev@lindqvar.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "join XMLTV listings into one document, byte for byte")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://lindqvar.org/")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS Lindqvar RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  include(CPack)
  return()
endif()

set(LINDQVAR_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/lindqvar)

# Compressed without a name or time stamp inside, so that builds repeat.
function(lindqvar_gzip source output)
  string(REGEX REPLACE "[.]gz$" "" plain ${output})
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_BINARY_DIR}/${plain}
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/${plain}
    DEPENDS ${source}
    VERBATIM)
endfunction()
lindqvar_gzip(${PROJECT_SOURCE_DIR}/man/Lindqvar.1 man/Lindqvar.1.gz)
lindqvar_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog doc/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man ${CMAKE_BINARY_DIR}/doc)
add_custom_target(lindqvar_docs ALL
  DEPENDS ${CMAKE_BINARY_DIR}/man/Lindqvar.1.gz ${CMAKE_BINARY_DIR}/doc/changelog.gz)

file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX REPLACE "\n+$" "" license "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " license " ${license}")
file(WRITE ${CMAKE_BINARY_DIR}/doc/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Lindqvar
Source: https://lindqvar.org/

Files: *
Copyright: 2026 the Lindqvar authors
License: Expat
${license}
")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

install(TARGETS Lindqvar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/man/Lindqvar.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${LINDQVAR_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The extended description, below the summary: lines under 80 columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Lindqvar joins several XMLTV TV-listings documents into one, copying the
channel and programme sections of each input byte for byte, and can
rewrite the programme times of chosen inputs into a fixed summer/winter
zone form. It replaces its output safely: a failed run never leaves a
partial file, and an existing guide stays as it was.")
include(CPack)
