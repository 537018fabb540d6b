# Writes OUT, the project's version and the git revision of SOURCE_DIR, at
# build time; the file is rewritten only when its text changes, so a commit
# relinks the programs and nothing else does.
# Inputs: SOURCE_DIR, OUT, VERSION.
set(revision "")
find_program(GIT_PROGRAM git)
if(GIT_PROGRAM AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_PROGRAM}" -C "${SOURCE_DIR}" rev-parse --short=10 HEAD
                  OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(revision "")
  elseif(revision)
    execute_process(COMMAND "${GIT_PROGRAM}" -C "${SOURCE_DIR}" diff-index --quiet HEAD --
                    RESULT_VARIABLE dirty ERROR_QUIET)
    if(dirty EQUAL 1)
      string(APPEND revision "-modified")
    endif()
  endif()
endif()
set(text "// Written by cmake/GitRevision.cmake at build time.\n#include \"version/Version.h\"\n\nconst char* VelundaVersion() { return \"${VERSION}\"; }\nconst char* VelundaRevision() { return \"${revision}\"; }\n")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
