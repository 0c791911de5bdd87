# Writes OUTPUT, a source file defining the build's git description (empty
# outside a git checkout), rewriting it only when the text changes:
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P git_describe.cmake
cmake_policy(VERSION 3.25)
set(describe "")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --tags --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE describe ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(describe "")
  endif()
endif()
string(REGEX REPLACE "[^A-Za-z0-9._+-]" "" describe "${describe}")
set(text "// Generated at build time by cmake/git_describe.cmake.\nnamespace brenix {\nextern const char* const kGitDescribe;\nconst char* const kGitDescribe = \"${describe}\";\n}  // namespace brenix\n")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
