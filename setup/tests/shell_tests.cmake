# Tests of the setup tool's shell, log, worker and USB install.

# Support for tests that run the real Drelmo.exe as a process and read the
# logs, registry record and staged packages it leaves behind.
add_library(drelmo_process STATIC ${CMAKE_CURRENT_LIST_DIR}/drelmo_process.cpp)
target_include_directories(drelmo_process PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(drelmo_process PUBLIC project_options drelmo_core gtest advapi32 user32)
# Every process a test starts is started, and ended, by the test bench.
target_link_libraries(drelmo_process PUBLIC testbench_process)
target_compile_definitions(drelmo_process PRIVATE DRELMO_BINARY_DIR=L"${WIN_BINARY_DIR}")
add_dependencies(drelmo_process Drelmo driver_packages)

# The formatter, the registry key owner and the log folder verdict, in this process.
add_wine_test(NAME setup_unit_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/format_test.cpp ${CMAKE_CURRENT_LIST_DIR}/registry_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/log_folder_test.cpp
  LIBS drelmo_core
  TIMEOUT 60)

# The log writer in this process, against real files in C:\log, and in two
# processes at once (setup_log_writer).
add_executable(setup_log_writer ${CMAKE_CURRENT_LIST_DIR}/setup_log_writer.cpp)
target_link_libraries(setup_log_writer PRIVATE project_options drelmo_core)
target_link_options(setup_log_writer PRIVATE -municode)
add_wine_test(NAME setup_log_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/setup_log_test.cpp
  LIBS drelmo_process
  TIMEOUT 120)
add_dependencies(setup_log_test setup_log_writer)

# Drelmo.exe started with command lines from the package directory.
add_wine_test(NAME drelmo_command_line_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/command_line_test.cpp
  LIBS drelmo_process setupapi
  TIMEOUT 600)

# The window in the X server, inside a Wine virtual desktop.
add_wine_test(NAME drelmo_window_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_test.cpp
  LIBS drelmo_process gdiplus
  TIMEOUT 300)
target_compile_definitions(drelmo_window_test PRIVATE DRELMO_ARTIFACT_DIR=L"${WIN_BINARY_DIR}/artifacts")
