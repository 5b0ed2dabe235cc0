# What ships, and where it goes.
#
# Everything the build makes lands in ${CMAKE_BINARY_DIR}/bin unless it is
# marked as shipping with orvello_ship(); shipped files land in ${ORVELLO_OUT}
# (build/out) and get install rules:
#
#   orvello_ship(TARGET PLAYER)       the player: the application folder, plus a launcher on the PATH
#   orvello_ship(TARGET LIBRARY       a library with a flat C interface: the application folder (the
#                PACKAGE NAME          player loads it from there), its header under include/, and a
#                HEADER FILE           pkg-config file and a CMake package config named NAME, giving
#                DESCRIPTION TEXT)     the imported target orvello::<NAME without "orvello-">
#   orvello_ship(TARGET TOOL)         a command-line tool on the PATH
#   orvello_ship_data(DIR FILES...)   data files of the application folder, under DIR
#
# The list of shipped files is written to ${ORVELLO_OUT_MANIFEST}; a test
# checks that build/out holds exactly those.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVELLO_OUT ${CMAKE_BINARY_DIR}/out)
set(ORVELLO_OUT_MANIFEST ${CMAKE_BINARY_DIR}/out-manifest.txt)
# The application folder: the player, its libraries, assets and sample media together.
set(ORVELLO_INSTALL_APPDIR lib/orvello-player)
set(ORVELLO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/orvello-player)
set(ORVELLO_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(ORVELLO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake)
set(ORVELLO_LAUNCHER orvello-player)

# A build folder from before this layout has tests and benchmarks in out/:
# start it afresh (the build puts back what ships).
if(EXISTS ${ORVELLO_OUT} AND NOT EXISTS ${ORVELLO_OUT_MANIFEST})
  file(REMOVE_RECURSE ${ORVELLO_OUT})
endif()

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# `path` relative to `from` (both relative to the install prefix).
function(orvello_relative out from path)
  file(RELATIVE_PATH rel /prefix/${from} /prefix/${path})
  set(${out} ${rel} PARENT_SCOPE)
endfunction()

function(orvello_ship target kind)
  cmake_parse_arguments(arg "" "PACKAGE;HEADER;DESCRIPTION" "" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY ORVELLO_SHIPPED_FILES "$<TARGET_FILE_NAME:${target}>")
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ORVELLO_OUT}
                                             LIBRARY_OUTPUT_DIRECTORY ${ORVELLO_OUT})
  if(kind STREQUAL "PLAYER")
    install(TARGETS ${target} RUNTIME DESTINATION ${ORVELLO_INSTALL_APPDIR})
    # The player finds its libraries and assets beside its own file, so the
    # launcher is a link to it, relative so that it works for any prefix.
    orvello_relative(link ${CMAKE_INSTALL_BINDIR} ${ORVELLO_INSTALL_APPDIR}/$<TARGET_FILE_NAME:${target}>)
    install(CODE "
      set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      file(MAKE_DIRECTORY \"\${bin}\")
      file(CREATE_LINK \"${link}\" \"\${bin}/${ORVELLO_LAUNCHER}\" SYMBOLIC)
      message(STATUS \"Installing: \${bin}/${ORVELLO_LAUNCHER} -> ${link}\")")
  elseif(kind STREQUAL "TOOL")
    orvello_relative(rpath ${CMAKE_INSTALL_BINDIR} ${ORVELLO_INSTALL_APPDIR})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "\$ORIGIN/${rpath}")
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  elseif(kind STREQUAL "LIBRARY")
    if(NOT arg_PACKAGE OR NOT arg_HEADER)
      message(FATAL_ERROR "orvello_ship(${target} LIBRARY) needs PACKAGE and HEADER")
    endif()
    install(TARGETS ${target} LIBRARY DESTINATION ${ORVELLO_INSTALL_APPDIR})
    install(FILES ${arg_HEADER} DESTINATION ${ORVELLO_INSTALL_INCLUDEDIR})
    set_property(GLOBAL APPEND PROPERTY ORVELLO_PUBLIC_HEADERS ${arg_HEADER})
    orvello_library_packages(${target} ${arg_PACKAGE} "${arg_DESCRIPTION}")
  else()
    message(FATAL_ERROR "orvello_ship: unknown kind ${kind}")
  endif()
endfunction()

# A pkg-config file and a CMake package config for one library. Both find
# the install prefix from their own location, so an installation can be
# moved (or staged with DESTDIR) and still be found.
function(orvello_library_packages target package description)
  get_target_property(file_name ${target} OUTPUT_NAME)
  set(file_name ${file_name}${CMAKE_SHARED_LIBRARY_SUFFIX})
  string(REGEX REPLACE "^orvello-" "" short ${package})
  set(PACKAGE ${package})
  set(SHORT ${short})
  set(DESCRIPTION ${description})
  set(LIBRARY_FILE ${file_name})
  set(APPDIR ${ORVELLO_INSTALL_APPDIR})
  set(INCLUDEDIR ${ORVELLO_INSTALL_INCLUDEDIR})
  orvello_relative(PREFIX_FROM_PKGCONFIG ${ORVELLO_INSTALL_PKGCONFIGDIR} .)
  orvello_relative(PREFIX_FROM_CMAKE ${ORVELLO_INSTALL_CMAKEDIR}/${package} .)
  set(generated ${CMAKE_BINARY_DIR}/packages/${package})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in ${generated}/${package}.pc @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library-config.cmake.in ${generated}/${package}-config.cmake @ONLY)
  write_basic_package_version_file(${generated}/${package}-config-version.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES ${generated}/${package}.pc DESTINATION ${ORVELLO_INSTALL_PKGCONFIGDIR})
  install(FILES ${generated}/${package}-config.cmake ${generated}/${package}-config-version.cmake
          DESTINATION ${ORVELLO_INSTALL_CMAKEDIR}/${package})
endfunction()

function(orvello_ship_data dir)
  foreach(file ${ARGN})
    get_filename_component(name ${file} NAME)
    set_property(GLOBAL APPEND PROPERTY ORVELLO_SHIPPED_FILES ${dir}/${name})
  endforeach()
  install(FILES ${ARGN} DESTINATION ${ORVELLO_INSTALL_APPDIR}/${dir})
endfunction()

# Called once every directory has been added: writes the manifest of build/out.
function(orvello_write_out_manifest)
  get_property(files GLOBAL PROPERTY ORVELLO_SHIPPED_FILES)
  list(JOIN files "\n" content)
  file(GENERATE OUTPUT ${ORVELLO_OUT_MANIFEST} CONTENT "${content}\n")
endfunction()
