# brenix_embed_files(OUT_CPP FUNCTION_NAME FILES...): writes a source file
# defining `std::vector<EmbeddedFile> FUNCTION_NAME()` with the files' bytes.
function(brenix_embed_files out_cpp function_name)
  set(body "")
  foreach(path ${ARGN})
    get_filename_component(name "${path}" NAME)
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND body "  {\"${name}\", {${bytes}}},\n")
  endforeach()
  file(CONFIGURE OUTPUT "${out_cpp}" CONTENT "// Generated from data files at configure time.\n#include <cstdint>\n#include <string>\n#include <utility>\n#include <vector>\nnamespace brenix {\nstd::vector<std::pair<std::string, std::vector<uint8_t>>> ${function_name}() {\n  return {\n${body}  };\n}\n}  // namespace brenix\n" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARGN})
endfunction()
