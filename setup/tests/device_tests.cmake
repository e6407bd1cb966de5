# Network install and scanner uninstall, driving the real Drelmo.exe against
# the "sti_ci.dll" stand-in (testbench/sti_ci), one process per action.
add_wine_test(NAME device_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/device_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_net_install_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_uninstall_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_planted_library_tests.cpp
  LIBS drelmo_process setupapi advapi32
  TIMEOUT 900)
target_include_directories(device_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/testbench/sti_ci)
add_dependencies(device_tests sti_ci_all)
