# shipped_binary(<target>)
# What each shipped binary has beyond the other binaries of the build:
# - its link map (bin/<name>.map), which names every library and object the
#   link took and so what the third-party notices must cover;
# - its table of valid call targets completed after the link with the
#   functions of the prebuilt runtime libraries, in room kept for it
#   (hardening/guard_fids_spare.cpp, cmake/complete_guard_table.py).
# Debian's Python, with pefile (python3-pefile), reads and writes the binary.
find_program(DEBIAN_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

function(shipped_binary target)
  set(map $<TARGET_FILE_DIR:${target}>/${target}.map)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/hardening/guard_fids_spare.cpp)
  target_link_options(${target} PRIVATE LINKER:--Xlink=-map:${map})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${DEBIAN_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/complete_guard_table.py
            $<TARGET_FILE:${target}> ${map}
    VERBATIM)
endfunction()
