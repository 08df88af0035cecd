# The release tarball: what git tracks at HEAD, so no build tree or generated file.
# Run at build time, so that git installed after configuring is found.
find_program(GIT git)
if(NOT GIT)
  message(FATAL_ERROR "dist: git is not installed; the tarball is made with git archive")
endif()
if(NOT EXISTS "${SOURCE}/.git")
  message(FATAL_ERROR "dist: ${SOURCE} is no git checkout; the tarball is made from one")
endif()
execute_process(COMMAND "${GIT}" -C "${SOURCE}" archive --format=tar.gz "--prefix=${PREFIX}/"
                        -o "${TARBALL}" HEAD
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dist: git archive failed")
endif()
message(STATUS "Wrote ${TARBALL}")
