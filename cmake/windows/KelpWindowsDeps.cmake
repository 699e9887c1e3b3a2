# The pinned OBS for the Windows build: OBS's sources, its prebuilt dependencies and its Qt, each
# downloaded once into a cache, checked against the SHA-256 in cmake/windows/pins.json and unpacked;
# then libobs and obs-frontend-api alone are built from those sources (plug-ins, frontend and
# browser off) and installed with their CMake packages (component Development) into a prefix of the
# cache, as OBS's plug-in template does. A plain install of OBS has no such packages.
#
# From configure (KELP_WINDOWS_DEPS=ON, the windows-x64 presets):
#   kelp_windows_deps(LINE <OBS line> [PINS <file>] [CACHE_DIR <dir>])
#   appends the prefixes to CMAKE_PREFIX_PATH and sets KELP_PIN_OBS_VERSION and KELP_PIN_QT_VERSION.
# As a script, which fetches, checks and unpacks but builds nothing (any host):
#   cmake [-DLINE=31.1] [-DPINS=<file>] [-DCACHE_DIR=<dir>] -P cmake/windows/KelpWindowsDeps.cmake
#
# A cached archive is used only when its SHA-256 is the pinned one; any other stops with its name.
# A download goes to <file>.part first, so a cut transfer never passes for a cached archive.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.21)
endif()
set(_kelp_deps_dir "${CMAKE_CURRENT_LIST_DIR}")

# _kelp_pins_line(<pins file> <line> <out>): the line's pins as <out>_OBS_VERSION, <out>_QT_VERSION,
# <out>_PACKAGES and <out>_<package>_{VERSION,URL,SHA256,LABEL}.
function(_kelp_pins_line pins line out)
  file(READ "${pins}" json)
  string(JSON count LENGTH "${json}" lines)
  math(EXPR last "${count} - 1")
  set(known "")
  foreach(i RANGE ${last})
    string(JSON obs GET "${json}" lines ${i} obs)
    list(APPEND known ${obs})
    if(obs STREQUAL line)
      set(index ${i})
    endif()
  endforeach()
  if(NOT DEFINED index)
    list(JOIN known ", " known)
    message(FATAL_ERROR "${pins} has no OBS line ${line} (it has ${known})")
  endif()
  string(JSON status GET "${json}" lines ${index} status)
  if(status STREQUAL "unpinned")
    string(JSON reason GET "${json}" lines ${index} reason)
    message(FATAL_ERROR "OBS ${line} has no pinned packages in ${pins}: ${reason}")
  endif()
  string(JSON obs_version GET "${json}" lines ${index} obsVersion)
  string(JSON qt_version GET "${json}" lines ${index} qtVersion)
  string(JSON packages LENGTH "${json}" lines ${index} packages)
  math(EXPR last "${packages} - 1")
  set(names "")
  foreach(i RANGE ${last})
    string(JSON name GET "${json}" lines ${index} packages ${i} name)
    foreach(field version url sha256 label)
      string(JSON value GET "${json}" lines ${index} packages ${i} ${field})
      string(TOUPPER ${field} key)
      set(${out}_${name}_${key} "${value}" PARENT_SCOPE)
    endforeach()
    string(JSON sha256 GET "${json}" lines ${index} packages ${i} sha256)
    if(NOT sha256 MATCHES "^[0-9a-f]+$")
      message(FATAL_ERROR "${pins}: OBS ${line}, ${name}: \"${sha256}\" is no SHA-256")
    endif()
    string(LENGTH "${sha256}" length)
    if(NOT length EQUAL 64)
      message(FATAL_ERROR "${pins}: OBS ${line}, ${name}: \"${sha256}\" is no SHA-256")
    endif()
    list(APPEND names ${name})
  endforeach()
  foreach(required obs-studio prebuilt qt6)
    if(NOT required IN_LIST names)
      message(FATAL_ERROR "${pins}: OBS ${line} pins no ${required} package")
    endif()
  endforeach()
  set(${out}_OBS_VERSION "${obs_version}" PARENT_SCOPE)
  set(${out}_QT_VERSION "${qt_version}" PARENT_SCOPE)
  set(${out}_PACKAGES "${names}" PARENT_SCOPE)
endfunction()

# _kelp_fetch(<url> <sha256> <file> <pins file>): <file> holds the pinned archive afterwards.
function(_kelp_fetch url sha256 file pins)
  if(EXISTS "${file}")
    file(SHA256 "${file}" have)
    if(have STREQUAL sha256)
      message(STATUS "Windows dependencies: ${file} is cached and matches its pin")
      return()
    endif()
    message(FATAL_ERROR "${file} has SHA-256 ${have}, but ${pins} pins ${sha256}: remove the file to "
      "download it again, or check the pin")
  endif()
  get_filename_component(dir "${file}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  set(part "${file}.part")
  file(REMOVE "${part}")
  message(STATUS "Windows dependencies: downloading ${url} to ${file}")
  # A hash mismatch stops here, naming the .part file, and leaves it for inspection.
  file(DOWNLOAD "${url}" "${part}" STATUS status EXPECTED_HASH SHA256=${sha256} TLS_VERIFY ON)
  list(GET status 0 code)
  if(NOT code EQUAL 0)
    list(GET status 1 text)
    file(REMOVE "${part}")
    message(FATAL_ERROR "Downloading ${url} to ${file} failed: ${text}")
  endif()
  file(RENAME "${part}" "${file}")
endfunction()

# _kelp_unpack(<archive> <sha256> <dir> <out> <top folder>): <dir> holds the archive's files,
# unpacked again whenever the archive's hash differs from the one it was unpacked from. <out>: the
# archive's top folder where it has one (OBS's sources), else <dir>.
function(_kelp_unpack archive sha256 dir out top)
  set(stamp "${dir}.sha256")
  set(have "")
  if(EXISTS "${stamp}" AND IS_DIRECTORY "${dir}")
    file(READ "${stamp}" have)
  endif()
  if(NOT have STREQUAL sha256)
    file(REMOVE_RECURSE "${dir}" "${stamp}")
    file(MAKE_DIRECTORY "${dir}")
    file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${dir}")
    file(WRITE "${stamp}" "${sha256}")
  endif()
  if(NOT top)
    set(${out} "${dir}" PARENT_SCOPE)
  elseif(IS_DIRECTORY "${dir}/${top}")
    set(${out} "${dir}/${top}" PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${archive} has no top folder ${top}")
  endif()
endfunction()

# _kelp_build_obs(<source> <prefix> <version> <stamp text> <dependency prefixes...>): libobs and
# obs-frontend-api from <source>, installed into <prefix>; skipped while <prefix> was made from the
# same archives.
function(_kelp_build_obs source prefix version stamp_text)
  set(stamp "${prefix}/.kelp-sha256")
  # Where the package files go differs between OBS releases (cmake/ or lib/cmake/).
  file(GLOB_RECURSE config "${prefix}/*/libobsConfig.cmake")
  if(EXISTS "${stamp}" AND config)
    file(READ "${stamp}" have)
    if(have STREQUAL stamp_text)
      message(STATUS "Windows dependencies: libobs ${version} is built in ${prefix}")
      return()
    endif()
  endif()
  # OBS's own CMake files ask for 3.28; the module's presets for 3.25.
  if(CMAKE_VERSION VERSION_LESS 3.28)
    message(FATAL_ERROR "Building libobs ${version} needs CMake 3.28 or newer; this is ${CMAKE_VERSION}")
  endif()
  set(build "${prefix}-build")
  # Visual Studio takes the platform and the SDK; Ninja takes what the developer prompt set.
  set(platform "")
  if(CMAKE_GENERATOR MATCHES "^Visual Studio")
    set(platform -A "x64")
    if(CMAKE_VS_WINDOWS_TARGET_PLATFORM_VERSION)
      set(platform -A "x64,version=${CMAKE_VS_WINDOWS_TARGET_PLATFORM_VERSION}")
    endif()
  endif()
  list(JOIN ARGN "\\;" dependencies)
  message(STATUS "Windows dependencies: building libobs and obs-frontend-api ${version} in ${build}")
  file(REMOVE_RECURSE "${prefix}")
  # ENABLE_UI is the frontend switch of older OBS releases, ENABLE_FRONTEND of newer ones.
  set(configure "${CMAKE_COMMAND}" --fresh -S "${source}" -B "${build}" -G "${CMAKE_GENERATOR}" ${platform}
    -DCMAKE_BUILD_TYPE:STRING=RelWithDebInfo -DOBS_CMAKE_VERSION:STRING=3.0.0 -DOBS_VERSION_OVERRIDE:STRING=${version}
    -DENABLE_PLUGINS:BOOL=OFF -DENABLE_FRONTEND:BOOL=OFF -DENABLE_UI:BOOL=OFF -DENABLE_BROWSER:BOOL=OFF
    -DENABLE_SCRIPTING:BOOL=OFF "-DCMAKE_PREFIX_PATH:PATH=${dependencies}")
  set(build_step "${CMAKE_COMMAND}" --build "${build}" --target obs-frontend-api --config RelWithDebInfo --parallel)
  set(install "${CMAKE_COMMAND}" --install "${build}" --component Development --config RelWithDebInfo
    --prefix "${prefix}")
  foreach(step configure build_step install)
    execute_process(COMMAND ${${step}} OUTPUT_FILE "${build}-${step}.log" ERROR_FILE "${build}-${step}.log"
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "libobs ${version}: ${step} failed (${result}); its output is in ${build}-${step}.log")
    endif()
  endforeach()
  file(WRITE "${stamp}" "${stamp_text}")
endfunction()

# _kelp_windows_fetch(<line> <pins> <cache dir> <out>): fetches, checks and unpacks the line's
# packages; <out>_<package>_DIR is each unpacked root, <out>_OBS_VERSION and <out>_QT_VERSION the pins.
macro(_kelp_windows_fetch line pins cache out)
  _kelp_pins_line("${pins}" "${line}" ${out})
  foreach(_pkg ${${out}_PACKAGES})
    get_filename_component(_file "${${out}_${_pkg}_URL}" NAME)
    # The sources' archive is named by its tag alone.
    if(NOT _file MATCHES "^${_pkg}")
      set(_file "${_pkg}-${_file}")
    endif()
    _kelp_fetch("${${out}_${_pkg}_URL}" "${${out}_${_pkg}_SHA256}" "${cache}/${_file}" "${pins}")
    string(REGEX REPLACE "\\.(zip|tar\\.[a-z]+)$" "" _dir "${_file}")
    # GitHub's archive of a tag holds one folder, <repository>-<tag>.
    set(_top "")
    if(_pkg STREQUAL "obs-studio")
      set(_top "obs-studio-${${out}_${_pkg}_VERSION}")
    endif()
    _kelp_unpack("${cache}/${_file}" "${${out}_${_pkg}_SHA256}" "${cache}/${_dir}" ${out}_${_pkg}_DIR "${_top}")
  endforeach()
endmacro()

function(kelp_windows_deps)
  cmake_parse_arguments(ARG "" "LINE;PINS;CACHE_DIR" "" ${ARGN})
  if(NOT ARG_PINS)
    set(ARG_PINS "${_kelp_deps_dir}/pins.json")
  endif()
  if(NOT ARG_CACHE_DIR)
    set(ARG_CACHE_DIR "${PROJECT_SOURCE_DIR}/.deps")
  endif()
  _kelp_windows_fetch("${ARG_LINE}" "${ARG_PINS}" "${ARG_CACHE_DIR}" pin)
  set(prefix "${ARG_CACHE_DIR}/obs-sdk-${pin_OBS_VERSION}-x64")
  _kelp_build_obs("${pin_obs-studio_DIR}" "${prefix}" "${pin_OBS_VERSION}"
    "${pin_obs-studio_SHA256} ${pin_prebuilt_SHA256} ${pin_qt6_SHA256}" "${pin_prebuilt_DIR}" "${pin_qt6_DIR}")
  set(CMAKE_PREFIX_PATH ${CMAKE_PREFIX_PATH} "${prefix}" "${pin_prebuilt_DIR}" "${pin_qt6_DIR}" PARENT_SCOPE)
  set(KELP_PIN_OBS_VERSION "${pin_OBS_VERSION}" PARENT_SCOPE)
  set(KELP_PIN_QT_VERSION "${pin_QT_VERSION}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT PINS)
    set(PINS "${_kelp_deps_dir}/pins.json")
  endif()
  if(NOT LINE)
    file(READ "${PINS}" _json)
    string(JSON LINE GET "${_json}" default)
  endif()
  if(NOT CACHE_DIR)
    get_filename_component(CACHE_DIR "${_kelp_deps_dir}/../../.deps" ABSOLUTE)
  endif()
  _kelp_windows_fetch("${LINE}" "${PINS}" "${CACHE_DIR}" pin)
  foreach(_pkg ${pin_PACKAGES})
    message(STATUS "Windows dependencies: ${pin_${_pkg}_LABEL} ${pin_${_pkg}_VERSION} in ${pin_${_pkg}_DIR}")
  endforeach()
endif()
