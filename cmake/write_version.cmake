# Writes OUT, the definition of host::ProjectVersion(), from VERSION and the commit the source
# tree SOURCE_DIR stands at.  Run at every build; the file is rewritten only when its text
# changes, so an unchanged tree rebuilds nothing.
set(commit "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --always --dirty --abbrev=7
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  endif()
endif()
set(text "${VERSION}")
if(commit)
  set(text "${VERSION} (commit ${commit})")
endif()
set(source "// Written by the build; do not edit.\n#include \"host/version.h\"\n\nnamespace host {\n\nconst char* ProjectVersion() {\n    return \"${text}\";\n}\n\n}  // namespace host\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL source)
  file(WRITE ${OUT} "${source}")
endif()
