# The tests of the Windows build, run under Wine: the unit tests and fuzz
# seeds (through the cross-compiling emulator), the Windows end-to-end
# tests, and a comparison of Lindqvar.exe with the Linux program on the same
# inputs.

# One Wine prefix for the whole build, made before any test program runs.
add_custom_command(
  OUTPUT ${LINDQVAR_WINEPREFIX}/system.reg
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot -i
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${LINDQVAR_WINEPREFIX} wineserver -w
  COMMENT "Making the Wine prefix ${LINDQVAR_WINEPREFIX}"
  VERBATIM)
add_custom_target(lindqvar_wine_prefix ALL DEPENDS ${LINDQVAR_WINEPREFIX}/system.reg)
add_dependencies(lindqvar_unit_tests lindqvar_wine_prefix)

add_executable(lindqvar_console_event_helper WindowsConsoleEventHelper.cpp)
target_link_libraries(lindqvar_console_event_helper PRIVATE lindqvar_core lindqvar_warnings)

add_executable(lindqvar_windows_tests WindowsEndToEndTest.cpp)
target_link_libraries(lindqvar_windows_tests PRIVATE lindqvar_core lindqvar_warnings GTest::gtest_main)
target_compile_definitions(lindqvar_windows_tests PRIVATE
  LINDQVAR_EXE="$<TARGET_FILE:Lindqvar>"
  LINDQVAR_CONSOLE_EVENT_HELPER="$<TARGET_FILE:lindqvar_console_event_helper>"
  LINDQVAR_EXAMPLES="${PROJECT_SOURCE_DIR}/examples")
add_dependencies(lindqvar_windows_tests Lindqvar lindqvar_console_event_helper lindqvar_wine_prefix)
gtest_discover_tests(lindqvar_windows_tests ${discovery})

# The Linux program and the listing generator, built on the side with the
# host's compiler, for the comparison.
include(ExternalProject)
ExternalProject_Add(lindqvar_linux
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/linux
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DLINDQVAR_WERROR=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target Lindqvar GenerateListing
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
add_test(NAME Windows.SameAsLinux
         COMMAND ${CMAKE_COMMAND}
                 -DWINDOWS_PROGRAM=$<TARGET_FILE:Lindqvar> -DLINUX_PROGRAM=${CMAKE_BINARY_DIR}/linux/Lindqvar
                 -DGENERATE=${CMAKE_BINARY_DIR}/linux/bench/GenerateListing
                 -DEXAMPLES=${PROJECT_SOURCE_DIR}/examples -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/compare
                 "-DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}"
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/CompareWithLinux.cmake)
add_test(NAME Windows.ConsoleIsACharacterDevice
         COMMAND ${CMAKE_COMMAND} -DWINDOWS_PROGRAM=$<TARGET_FILE:Lindqvar>
                 -DEXAMPLES=${PROJECT_SOURCE_DIR}/examples -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/console
                 "-DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}"
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/WindowsConsole.cmake)
set_tests_properties(Windows.ConsoleIsACharacterDevice PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED: ")
add_test(NAME Windows.Package
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DCHECK=zip
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package -P ${CMAKE_CURRENT_SOURCE_DIR}/PackageTest.cmake)
