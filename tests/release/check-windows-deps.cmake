# cmake -DSOURCE_DIR=<repository> -DWORK=<scratch folder> -P check-windows-deps.cmake
# The Windows dependency script's rules, against archives made here and served as file:// URLs
# (nothing is built): a wrong pin stops it naming the file, a cached archive is used without a
# download, a cached archive that changed stops it. And docs/windows.md's table against the pins.
set(script "${SOURCE_DIR}/cmake/windows/KelpWindowsDeps.cmake")
set(origin "${WORK}/origin")
set(cache "${WORK}/cache")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${origin}" "${cache}")
set(failures "")

# OBS's sources come with one top folder; the dependency archives have none.
file(WRITE "${WORK}/obs-studio/obs-studio-9.9.9/CMakeLists.txt" "project(obs-studio)\n")
file(WRITE "${WORK}/prebuilt/include/zlib.h" "\n")
file(WRITE "${WORK}/qt6/lib/cmake/Qt6/Qt6Config.cmake" "\n")
set(packages "")
foreach(pack "obs-studio;9.9.9.zip;obs-studio-9.9.9" "prebuilt;windows-deps-test-x64.zip;include"
    "qt6;windows-deps-qt6-test-x64.zip;lib")
  list(GET pack 0 name)
  list(GET pack 1 file)
  list(GET pack 2 top)
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${origin}/${file}" --format=zip "${top}"
    WORKING_DIRECTORY "${WORK}/${name}" COMMAND_ERROR_IS_FATAL ANY)
  file(SHA256 "${origin}/${file}" hash_${name})
  string(APPEND packages "{\"name\": \"${name}\", \"label\": \"${name}\", \"version\": \"9.9.9\", "
    "\"url\": \"file://${origin}/${file}\", \"sha256\": \"${hash_${name}}\"},")
endforeach()
string(REGEX REPLACE ",$" "" packages "${packages}")
set(pins "{\"default\": \"9.9\", \"lines\": [{\"obs\": \"9.9\", \"status\": \"required\", \"obsVersion\": \"9.9.9\", \"qtVersion\": \"6.8.3\", \"packages\": [${packages}]}]}")
file(WRITE "${WORK}/good.json" "${pins}")
# The prebuilt archive pinned with Qt's hash.
string(REPLACE "${hash_prebuilt}" "${hash_qt6}" pins "${pins}")
file(WRITE "${WORK}/wrong.json" "${pins}")

# fetch(<case> <pins> <line> <expect: ok|fail> <regex the output must match> [regex it must not])
function(fetch name pins line expect must)
  execute_process(COMMAND ${CMAKE_COMMAND} -DLINE=${line} -DPINS=${pins} -DCACHE_DIR=${cache} -P ${script}
    OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  # CMake wraps its error messages: matched with all white space as one blank.
  string(REGEX REPLACE "[ \n]+" " " flat "${out}")
  set(problem "")
  if(expect STREQUAL ok AND NOT rc EQUAL 0)
    set(problem "failed (${rc})")
  elseif(expect STREQUAL fail AND rc EQUAL 0)
    set(problem "did not fail")
  elseif(NOT flat MATCHES "${must}")
    set(problem "printed nothing matching \"${must}\"")
  elseif(ARGV5 AND flat MATCHES "${ARGV5}")
    set(problem "printed \"${ARGV5}\"")
  endif()
  if(problem)
    set(failures "${failures}\n${name}: ${problem}:\n${out}" PARENT_SCOPE)
  else()
    message(STATUS "ok: ${name}")
  endif()
endfunction()

fetch("a wrong pin stops the download and names the file" "${WORK}/wrong.json" 9.9 fail
  "HASH mismatch.*prebuilt-windows-deps-test-x64\\.zip\\.part")
if(EXISTS "${cache}/prebuilt-windows-deps-test-x64.zip")
  list(APPEND failures "\nthe archive that failed its pin is in the cache under its own name")
endif()
fetch("the pinned archives are fetched, checked and unpacked" "${WORK}/good.json" 9.9 ok
  "obs-studio 9\\.9\\.9 in [^ ]*/obs-studio-9\\.9\\.9/obs-studio-9\\.9\\.9 .*prebuilt 9\\.9\\.9 in [^ ]*/prebuilt-windows-deps-test-x64 ")
# Nothing left to download from: only the cache can satisfy the pins now.
file(REMOVE_RECURSE "${origin}")
fetch("cached archives are used without a download" "${WORK}/good.json" 9.9 ok
  "obs-studio-9\\.9\\.9\\.zip is cached" "downloading")
file(APPEND "${cache}/qt6-windows-deps-qt6-test-x64.zip" "x")
fetch("a cached archive that changed stops the fetch and names the file" "${WORK}/good.json" 9.9 fail
  "qt6-windows-deps-qt6-test-x64\\.zip has SHA-256")

# The real pins: a line without hashes stops with its reason; every line has its row in the docs.
file(READ "${SOURCE_DIR}/cmake/windows/pins.json" pins)
file(READ "${SOURCE_DIR}/docs/windows.md" doc)
string(JSON count LENGTH "${pins}" lines)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON obs GET "${pins}" lines ${i} obs)
  string(JSON status GET "${pins}" lines ${i} status)
  string(JSON qt GET "${pins}" lines ${i} qtVersion)
  if(status STREQUAL "unpinned")
    fetch("OBS ${obs}, unpinned, stops with its reason" "${SOURCE_DIR}/cmake/windows/pins.json" ${obs} fail
      "OBS ${obs} has no pinned packages in")
    set(row "| OBS ${obs} | not pinned | Qt ${qt} |")
  else()
    string(JSON version GET "${pins}" lines ${i} obsVersion)
    set(row "| OBS ${obs} | ${version} | Qt ${qt} |")
  endif()
  string(FIND "${doc}" "\n${row}" at)
  if(at LESS 0)
    list(APPEND failures "\ndocs/windows.md has no table row starting \"${row}\" for ${status} OBS ${obs}")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "Windows dependencies:${failures}")
endif()
