# add_version_resource(<target> <file name> <file type> <description>)
# Gives a shipped binary a VERSIONINFO resource built from the project's one
# version number (the file VERSION): FileVersion and ProductVersion, fixed and
# as text, are the same four numbers.
set(VERSION_TEXT ${PROJECT_VERSION})

function(add_version_resource target file_name file_type description)
  set(VERSION_FILE_NAME ${file_name})
  get_filename_component(VERSION_INTERNAL_NAME ${file_name} NAME_WE)
  set(VERSION_FILE_TYPE ${file_type})
  set(VERSION_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${VERSION_INTERNAL_NAME}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
