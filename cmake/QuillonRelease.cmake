# The version resource of each exe and the release packages (zip and per-user MSI).

set(QUILLON_PUBLISHER "Quillon" CACHE STRING "Company name in the exe and publisher of the MSI")
set(QUILLON_COPYRIGHT "Copyright (C) 2026 Quillon" CACHE STRING "Copyright line in the exe")

# Checks that `version` is major.minor.patch as Windows Installer compares it
# (major and minor up to 255, patch up to 65535); sets <out>_MAJOR, _MINOR, _PATCH.
function(quillon_split_version version out)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$"
     OR CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
    message(FATAL_ERROR "Quillon version '${version}' is not major.minor.patch (255.255.65535 at most)")
  endif()
  set(${out}_MAJOR ${CMAKE_MATCH_1} PARENT_SCOPE)
  set(${out}_MINOR ${CMAKE_MATCH_2} PARENT_SCOPE)
  set(${out}_PATCH ${CMAKE_MATCH_3} PARENT_SCOPE)
endfunction()

# Gives exe `target` a VERSIONINFO resource saying `version`.
function(quillon_version_resource target version)
  quillon_split_version(${version} QV)
  set(QV_VERSION ${version})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/ui/resources/Version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# The packages' architecture name: win32 for the x86 build, win64 for x64.
if(QUILLON_ARCH STREQUAL "x64")
  set(QUILLON_PACKAGE_ARCH win64)
else()
  set(QUILLON_PACKAGE_ARCH win32)
endif()

# Custom target `name` packs exe `target` and console companion `comTarget` as
# `version` into `dir`, with the installer's exit step QuillonSetup.dll:
# Quillon-<version>-<win32|win64>.zip and .msi (scripts/package.sh).
# It packs on every build: whether to sign is read from the build's environment
# (QUILLON_SIGN_PFX), which no file date tells, and packing takes a second.
function(quillon_add_package name target comTarget version dir)
  quillon_split_version(${version} QV)
  add_custom_target(${name}
    COMMAND ${CMAKE_COMMAND} -E env STRIP=${CMAKE_STRIP} "QUILLON_PUBLISHER=${QUILLON_PUBLISHER}"
            QUILLON_COM=$<TARGET_FILE:${comTarget}> QUILLON_SETUP_DLL=$<TARGET_FILE:QuillonSetup>
            ${PROJECT_SOURCE_DIR}/scripts/package.sh $<TARGET_FILE:${target}> ${version} ${dir}
            ${QUILLON_PACKAGE_ARCH}
    BYPRODUCTS ${dir}/Quillon-${version}-${QUILLON_PACKAGE_ARCH}.zip
               ${dir}/Quillon-${version}-${QUILLON_PACKAGE_ARCH}.msi
    COMMENT "Packing Quillon ${version} into ${dir}"
    VERBATIM)
  add_dependencies(${name} ${target} ${comTarget} QuillonSetup)
endfunction()
