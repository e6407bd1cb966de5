# Network install and scanner uninstall, driving the real Drelmo.exe against
# the "sti_ci.dll" stand-in (testbench/sti_ci), one process per action.
add_wine_test(NAME device_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/device_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_net_install_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_uninstall_tests.cpp
  LIBS setupapi advapi32
  TIMEOUT 900)
target_include_directories(device_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/setup ${CMAKE_SOURCE_DIR}/testbench/sti_ci)
target_compile_definitions(device_tests PRIVATE
  DEVICE_BIN_DIR="${WIN_BINARY_DIR}/bin"
  DEVICE_PACKAGES_DIR="${WIN_BINARY_DIR}/packages")
add_dependencies(device_tests Drelmo sti_ci_all driver_packages)
