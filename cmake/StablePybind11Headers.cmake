# pip builds every wheel in a new temporary environment, so pybind11's
# headers sit at a new path each time. A compile command holding that path
# changes with it, and the build directory that pyproject.toml keeps would be
# rebuilt from scratch by every `pip install`. The headers are therefore
# mirrored into the build directory, and the pybind11 targets point there.
#
# A header is copied only when its content differs, so an unchanged pybind11
# leaves every timestamp alone and nothing is rebuilt; another pybind11
# version changes the content, and whatever includes it is rebuilt.
function(vocarix_stable_pybind11_headers)
  get_target_property(source pybind11::pybind11_headers INTERFACE_INCLUDE_DIRECTORIES)
  list(GET source 0 source)
  set(mirror "${CMAKE_BINARY_DIR}/pybind11-include")
  file(GLOB_RECURSE wanted RELATIVE "${source}" "${source}/*")
  file(GLOB_RECURSE present RELATIVE "${mirror}" "${mirror}/*")
  foreach(header IN LISTS present)
    if(NOT header IN_LIST wanted)
      file(REMOVE "${mirror}/${header}")
    endif()
  endforeach()
  foreach(header IN LISTS wanted)
    get_filename_component(folder "${mirror}/${header}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    file(COPY_FILE "${source}/${header}" "${mirror}/${header}" ONLY_IF_DIFFERENT)
  endforeach()
  set_target_properties(pybind11::pybind11_headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${mirror}")
endfunction()
