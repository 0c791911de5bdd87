# Checks the layering of the core:
#   cmake -DSOURCE_DIR=<dir holding common/, ntfs/, ...> -P check_layers.cmake
# An engine (ntfs, fat, exfat, ext, raw) may include its own headers and those
# of common/, codec/, disk/ and results/ - never another engine's, a front
# end's, the jobs layer's or Qt's - and its CMakeLists may not link another
# engine. codec/ uses common/ only; common/ uses nothing of the project.
# Every breach is printed; any breach makes the script fail.
cmake_policy(VERSION 3.25)
if(NOT SOURCE_DIR OR NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "check_layers: SOURCE_DIR is not a directory: '${SOURCE_DIR}'")
endif()

set(engines ntfs fat exfat ext raw)
set(allowed_common common)
set(allowed_codec common codec)
foreach(e IN LISTS engines)
  set(allowed_${e} ${e} common codec disk results)
endforeach()

# The project's own top-level folders: an include naming one of them is a project include.
set(project_dirs common codec disk imaging results jobs rescue mail cli gui ${engines})
file(GLOB entries RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${SOURCE_DIR}/${entry}")
    list(APPEND project_dirs "${entry}")
  endif()
endforeach()
list(REMOVE_DUPLICATES project_dirs)

set(breaches 0)
set(checked 0)
foreach(layer common codec ${engines})
  if(NOT IS_DIRECTORY "${SOURCE_DIR}/${layer}")
    continue()
  endif()
  file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${layer}/*.h" "${SOURCE_DIR}/${layer}/*.cpp")
  list(SORT sources)
  foreach(src IN LISTS sources)
    math(EXPR checked "${checked} + 1")
    file(STRINGS "${SOURCE_DIR}/${src}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*$" "\\1" header "${line}")
      if(line MATCHES "#[ \t]*include[ \t]*<Q")
        message("layer breach: ${src} includes Qt header <${header}>")
        math(EXPR breaches "${breaches} + 1")
        continue()
      endif()
      string(REGEX MATCH "^[^/]+" top "${header}")
      if(header MATCHES "/" AND top IN_LIST project_dirs AND NOT top IN_LIST allowed_${layer})
        string(REPLACE ";" ", " may_use "${allowed_${layer}}")
        message("layer breach: ${src} includes ${header} (${layer}/ may use only: ${may_use})")
        math(EXPR breaches "${breaches} + 1")
      endif()
    endforeach()
  endforeach()

  # Link dependencies: no engine links another engine (or the front ends' layers).
  set(lists_file "${SOURCE_DIR}/${layer}/CMakeLists.txt")
  if(EXISTS "${lists_file}")
    file(READ "${lists_file}" lists_text)
    string(REGEX REPLACE "#[^\n]*" "" lists_text "${lists_text}")
    foreach(other IN LISTS project_dirs)
      if(NOT other IN_LIST allowed_${layer} AND lists_text MATCHES "brenix_${other}([^a-z_]|$)")
        message("layer breach: ${layer}/CMakeLists.txt links brenix_${other}")
        math(EXPR breaches "${breaches} + 1")
      endif()
    endforeach()
  endif()
endforeach()

if(breaches GREATER 0)
  message(FATAL_ERROR "check_layers: ${breaches} layer breach(es) in ${checked} files")
endif()
message("check_layers: ${checked} files of common/, codec/ and the engines keep to their layers")
