# Builds the package from the build tree in BUILD_DIR and checks it.
#   CHECK=files    the Debian package installs exactly the program, its man
#                  page, copyright and changelog, with sound permissions
#   CHECK=lintian  lintian finds no error and no warning in it
#   CHECK=zip      the Windows ZIP holds Lindqvar.exe, README.md and LICENSE
file(REMOVE_RECURSE "${WORK_DIR}")
set(generator DEB)
set(suffix deb)
if(CHECK STREQUAL "zip")
  set(generator ZIP)
  set(suffix zip)
endif()
if(CHECK STREQUAL "lintian")
  find_program(LINTIAN lintian)
  if(NOT LINTIAN)
    message("SKIPPED: lintian is not installed (Debian package lintian; .ci/run installs it)")
    return()
  endif()
endif()
execute_process(COMMAND cpack -G ${generator} -B "${WORK_DIR}" --config "${BUILD_DIR}/CPackConfig.cmake"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status)
  message(FATAL_ERROR "cpack failed:\n${out}${err}")
endif()
file(GLOB packages "${WORK_DIR}/*.${suffix}")
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one package, found: ${packages}")
endif()

if(CHECK STREQUAL "zip")
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf "${packages}" OUTPUT_VARIABLE listing)
  string(REGEX REPLACE "\n$" "" listing "${listing}")
  string(REPLACE "\n" ";" files "${listing}")
  list(SORT files)
  message(STATUS "${packages}: ${files}")
  if(NOT files STREQUAL "LICENSE;Lindqvar.exe;README.md")
    message(FATAL_ERROR "unexpected contents: ${files}")
  endif()
  return()
endif()

if(CHECK STREQUAL "lintian")
  execute_process(COMMAND ${LINTIAN} --tag-display-limit 0 "${packages}"
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message(STATUS "lintian:\n${out}${err}")
  if("\n${out}" MATCHES "\n[EW]: ")
    message(FATAL_ERROR "lintian reports errors or warnings")
  endif()
  return()
endif()

execute_process(COMMAND dpkg-deb -c "${packages}" OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "dpkg-deb -c failed")
endif()
message(STATUS "package contents:\n${listing}")
string(REGEX MATCHALL "\n-[^\n]*" files "\n${listing}")
list(LENGTH files fileCount)
if(NOT fileCount EQUAL 4)
  message(FATAL_ERROR "expected four files, found ${fileCount}")
endif()
foreach(expected "-rwxr-xr-x root/root [^\n]* ./usr/bin/Lindqvar\n"
                 "-rw-r--r-- root/root [^\n]* ./usr/share/man/man1/Lindqvar.1.gz\n"
                 "-rw-r--r-- root/root [^\n]* ./usr/share/doc/lindqvar/copyright\n"
                 "-rw-r--r-- root/root [^\n]* ./usr/share/doc/lindqvar/changelog.gz\n")
  if(NOT listing MATCHES "${expected}")
    message(FATAL_ERROR "missing from the package: ${expected}")
  endif()
endforeach()

execute_process(COMMAND dpkg-deb -f "${packages}" Package Version Depends OUTPUT_VARIABLE fields)
if(NOT fields MATCHES "Package: lindqvar\n" OR NOT fields MATCHES "Version: ${VERSION}\n" OR
   NOT fields MATCHES "Depends: [^\n]*libc6")
  message(FATAL_ERROR "unexpected control fields:\n${fields}")
endif()
