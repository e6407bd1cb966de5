# shipped_binary(<target>)
# What each shipped binary has beyond the other binaries of the build:
# - its link map (bin/<name>.map), which names every library and object the
#   link took and so what the third-party notices must cover;
# - its table of valid call targets completed after the link with the
#   functions of the prebuilt runtime libraries, in room kept for it
#   (hardening/guard_fids_spare.cpp, cmake/complete_guard_table.py).
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(shipped_binary target)
  set(map $<TARGET_FILE_DIR:${target}>/${target}.map)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/hardening/guard_fids_spare.cpp)
  target_link_options(${target} PRIVATE LINKER:--Xlink=-map:${map})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/complete_guard_table.py
            $<TARGET_FILE:${target}> ${map}
    VERBATIM)
endfunction()
