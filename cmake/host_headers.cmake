# nlohmann_json and CLI11 are header-only: a cross-build takes them from the
# build machine's /usr/include through a folder holding only their own
# headers (so the host's C library headers never shadow the target's).
set(brenix_host_include ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${brenix_host_include})
foreach(dir nlohmann CLI)
  find_path(brenix_${dir}_root NAMES ${dir} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(CREATE_LINK ${brenix_${dir}_root}/${dir} ${brenix_host_include}/${dir} SYMBOLIC)
endforeach()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${brenix_host_include}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${brenix_host_include})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${brenix_host_include}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${brenix_host_include})
