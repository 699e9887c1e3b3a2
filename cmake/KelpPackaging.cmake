# Install rules and packages, all in one place.
#
# Linux: `cmake --build --preset release --target package` makes
#   kelp-obs_<version>_<arch>.deb          OBS's system layout (component "system")
#   kelp-obs-<version>-linux-<cpu>.tar.xz  the per-user layout kelp-obs/bin/64bit, kelp-obs/data
#                                          (component "portable", unpacked into
#                                          ~/.config/obs-studio/plugins/)
# Windows: kelp-obs-<version>-windows-x64.zip in the plug-in layout of OBS 30 and newer
#   (kelp-obs/bin/64bit, kelp-obs/data), unpacked into %ALLUSERSPROFILE%\obs-studio\plugins; with
#   the PDB (MSVC) and Qt's Schannel TLS backend in the module's own qt-plugins/tls/. The MinGW
#   build (linked against the stand-in, run under Wine) names its zip ...-mingw-test-only: it needs
#   MinGW's runtime and carries MinGW Qt's backend, so it never loads in obs64.exe.
#
# cpack reads this file again for each generator (CPACK_PROJECT_CONFIG_FILE); that part comes
# first, where no project is defined.

if(NOT DEFINED PROJECT_NAME)
  # One package, one layout: the .deb takes only the system component, the archive the portable one.
  if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL system)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  elseif(CPACK_KELP_PORTABLE)
    set(CPACK_COMPONENTS_ALL portable)
  endif()
  return()
endif()

include(GNUInstallDirs)
set(_kelp_data "${PROJECT_SOURCE_DIR}/data/")
if(WIN32)
  set(_kelp_root kelp-obs)
  install(TARGETS kelp-obs LIBRARY DESTINATION ${_kelp_root}/bin/64bit COMPONENT system)
  if(MSVC)
    # A streamer's crash report is only readable with the PDB of the exact build; Release and
    # MinSizeRel link none.
    install(FILES $<TARGET_PDB_FILE:kelp-obs> DESTINATION ${_kelp_root}/bin/64bit COMPONENT system
      CONFIGURATIONS RelWithDebInfo Debug OPTIONAL)
  endif()
  install(DIRECTORY ${_kelp_data} DESTINATION ${_kelp_root}/data COMPONENT system)
  # The module brings its own TLS backend: obs64.exe may deploy none, and the load adds
  # qt-plugins to Qt's library path.
  find_package(Qt6 COMPONENTS Network REQUIRED)
  if(NOT TARGET Qt6::QSchannelBackendPlugin)
    message(FATAL_ERROR "This Qt has no Schannel TLS backend plug-in (Qt6::QSchannelBackendPlugin)")
  endif()
  install(FILES $<TARGET_FILE:Qt6::QSchannelBackendPlugin> DESTINATION ${_kelp_root}/data/qt-plugins/tls
    COMPONENT system)
  unset(_kelp_root)
else()
  # Debian's OBS looks in lib/<multiarch>/obs-plugins, and GNUInstallDirs only says so for a /usr
  # prefix; the package is staged under /usr whatever prefix the build was configured with.
  set(_kelp_libdir "${CMAKE_INSTALL_LIBDIR}")
  if(CMAKE_LIBRARY_ARCHITECTURE AND _kelp_libdir STREQUAL "lib")
    set(_kelp_libdir "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
  install(TARGETS kelp-obs LIBRARY DESTINATION ${_kelp_libdir}/obs-plugins COMPONENT system)
  install(DIRECTORY ${_kelp_data} DESTINATION ${CMAKE_INSTALL_DATADIR}/obs/obs-plugins/kelp-obs COMPONENT system)

  # Debian policy wants a copyright file and a changelog in every package.
  set(_kelp_doc "${PROJECT_BINARY_DIR}/package-doc")
  # Dated by SOURCE_DATE_EPOCH when set, so a rebuild of the same version gives the same files.
  string(TIMESTAMP _kelp_year "%Y" UTC)
  string(TIMESTAMP _kelp_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE "${_kelp_doc}/copyright"
    "kelp-obs, the KELP plug-in for OBS Studio\n\n"
    "Copyright ${_kelp_year} KELP Ziziru\n"
    "All rights reserved.\n")
  file(WRITE "${_kelp_doc}/changelog"
    "kelp-obs (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- KELP Ziziru <obs-plugin@kelp.example>  ${_kelp_date}\n")
  file(ARCHIVE_CREATE OUTPUT "${_kelp_doc}/changelog.gz" PATHS "${_kelp_doc}/changelog" FORMAT raw
    COMPRESSION GZip COMPRESSION_LEVEL 9)
  install(FILES "${_kelp_doc}/copyright" "${_kelp_doc}/changelog.gz"
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelp-obs COMPONENT system EXCLUDE_FROM_ALL)

  # The per-user layout exists only inside the portable archive.
  install(TARGETS kelp-obs LIBRARY DESTINATION kelp-obs/bin/64bit COMPONENT portable EXCLUDE_FROM_ALL)
  install(DIRECTORY ${_kelp_data} DESTINATION kelp-obs/data COMPONENT portable EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME kelp-obs)
set(CPACK_PACKAGE_VENDOR "KELP Ziziru")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KELP events and widgets for OBS Studio")
# Lines of at most 72 characters: the control file shows them as they are.
set(CPACK_PACKAGE_DESCRIPTION
  "Connects OBS Studio to the KELP service and feeds its realtime events\n"
  "(donations, goals) to KELP web widgets in OBS Browser Sources through\n"
  "a local event stream on port 4251. Adds a KELP dock to OBS for pairing\n"
  "and for adding the Event Goal widget.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "KELP Ziziru <obs-plugin@kelp.example>")
set(CPACK_STRIP_FILES ON)
# Each package takes the components CPACK_COMPONENTS_ALL names, as one package under its plain name.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_FILE}")
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "kelp-obs-${PROJECT_VERSION}-windows-x64")
  if(KELP_WINDOWS_STANDIN)
    string(APPEND CPACK_PACKAGE_FILE_NAME "-mingw-test-only")
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_COMPONENTS_ALL system)
else()
  set(CPACK_GENERATOR DEB TXZ)
  set(CPACK_KELP_PORTABLE ON)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" _kelp_platform)
  set(CPACK_PACKAGE_FILE_NAME "kelp-obs-${PROJECT_VERSION}-${_kelp_platform}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  # Names the Qt 6 and libobs packages of the distribution the package was built on.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Nothing in those names keeps the package off an OBS built with Qt 5 (Debian 12's OBS 29), where
  # the module can only refuse to load: Debian's OBS is built with Qt 6 from version 30 on. The
  # computed dependencies are appended to this one.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "obs-studio (>= 30)")
  set(CPACK_DEBIAN_PACKAGE_ENHANCES obs-studio)
endif()

include(CPack)
