# Include views: the targets of each product folder see the project's headers only through a
# folder of links to their own folder and to those its row of the README's dependency table
# allows (the engine's stages each by itself), so an include the table forbids fails to
# compile. scripts/check-includes.py compares every call below with the table. Tests,
# benchmarks and fuzz targets see every folder.
function(zipsalvage_include_view target folder)
  set(view "${PROJECT_BINARY_DIR}/include-views/${folder}")
  file(MAKE_DIRECTORY "${view}")
  foreach(seen ${folder} ${ARGN})
    if(NOT EXISTS "${view}/${seen}")
      # A stage of the engine (engine/scan) is linked alone, inside a folder of its own name.
      get_filename_component(parent "${view}/${seen}" DIRECTORY)
      file(MAKE_DIRECTORY "${parent}")
      file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${seen}" "${view}/${seen}" SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PRIVATE "${view}")
endfunction()
