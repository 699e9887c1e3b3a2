# cmake -DSOURCE_DIR=<repository> -DNPM_DIR=<folder> -P check-workflows.cmake
# Every workflow under .github/workflows against the workflow schema, with the checker from npm
# installed into NPM_DIR as the browser tests install theirs. A copy with a misspelt key must fail,
# or the checker checks nothing.
set(KELP_NPM_ONLY ON)
include("${CMAKE_CURRENT_LIST_DIR}/../browser/install-deps.cmake")
set(validator "${NPM_DIR}/node_modules/@action-validator/cli/cli.mjs")

file(GLOB workflows "${SOURCE_DIR}/.github/workflows/*.yaml" "${SOURCE_DIR}/.github/workflows/*.yml")
if(NOT workflows)
  message(FATAL_ERROR "no workflow files under ${SOURCE_DIR}/.github/workflows")
endif()
set(failures "")
foreach(workflow ${workflows})
  execute_process(COMMAND ${KELP_node} ${validator} ${workflow} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE result)
  if(result EQUAL 0)
    message(STATUS "ok: ${workflow}")
  else()
    string(APPEND failures "\n${workflow}:\n${out}")
  endif()
endforeach()

list(GET workflows 0 first)
file(READ "${first}" text)
string(REGEX REPLACE "\n    runs-on:" "\n    runs-onn:" text "${text}")
file(WRITE "${NPM_DIR}/broken.yaml" "${text}")
execute_process(COMMAND ${KELP_node} ${validator} "${NPM_DIR}/broken.yaml" OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE result)
if(result EQUAL 0)
  string(APPEND failures "\nthe checker passed ${first} with runs-on misspelt")
endif()

if(failures)
  message(FATAL_ERROR "workflow schema:${failures}")
endif()
