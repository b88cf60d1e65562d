# Installing yurn (cmake --install, scripts/package.sh): the programs, the
# show's data, manual pages, bash completions, a desktop entry with its icon,
# the licence and credits, and the effect library and engine as a library
# (headers under include/yurn/, find_package(yurn), yurn.pc).  Included by
# CMakeLists.txt once the programs are defined.  The standard layout
# (GNUInstallDirs): bin/, share/yurn/, share/man/, lib/ or lib/<triplet>/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(YURN_DATA_DIR ${CMAKE_INSTALL_FULL_DATADIR}/yurn)

# Where yurn looks for its data without --data: beside its own executable
# (the bin folder's path to share/yurn, so a relocated or unpacked install
# works), then the configured prefix.  Only this file gets the paths, so a
# new prefix recompiles nothing else.
file(RELATIVE_PATH YURN_DATA_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${YURN_DATA_DIR})
set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/shell/installed_data.cpp APPEND PROPERTY
             COMPILE_DEFINITIONS YURN_DATA_FROM_BIN="${YURN_DATA_FROM_BIN}" YURN_INSTALL_DATA="${YURN_DATA_DIR}")

# The programs: yurn and every tools/<name> program.
set(YURN_PROGRAMS yurn)
foreach(dir ${YURN_TOOL_DIRS})
  get_filename_component(tool ${dir} NAME)
  if(TARGET ${tool})
    list(APPEND YURN_PROGRAMS ${tool})
  endif()
endforeach()
install(TARGETS ${YURN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# `make yurn-programs` builds them all (scripts/run.sh builds the default
# target, which is the same when tests and benchmarks are off).
add_custom_target(yurn-programs DEPENDS ${YURN_PROGRAMS})

# The show's data: the pictures packed into Yurn.pak (under the names the
# show asks for), the rest of datos/ as files (sound track, meshes).
set(YURN_STAGE ${PROJECT_BINARY_DIR}/install-data)
file(GLOB YURN_PCX_FILES CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/datos/*.pcx)
add_custom_command(OUTPUT ${YURN_STAGE}/Yurn.pak
  COMMAND ${CMAKE_COMMAND} -E make_directory ${YURN_STAGE}
  COMMAND yurn-pak create ${YURN_STAGE}/Yurn.pak ${YURN_PCX_FILES}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  DEPENDS yurn-pak ${YURN_PCX_FILES} VERBATIM)
# The icon: the first photograph cut to a 128 x 128 square by the PCX tool.
add_custom_command(OUTPUT ${YURN_STAGE}/yurn.png
  COMMAND ${CMAKE_COMMAND} -E make_directory ${YURN_STAGE}
  COMMAND yurn-pcx decode datos/Foto1.pcx ${YURN_STAGE}/icon-photo.png
  COMMAND yurn-pcx encode ${YURN_STAGE}/icon-photo.png ${YURN_STAGE}/icon.pcx --size 128x128 --fit crop
  COMMAND yurn-pcx decode ${YURN_STAGE}/icon.pcx ${YURN_STAGE}/yurn.png
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  DEPENDS yurn-pcx ${PROJECT_SOURCE_DIR}/datos/Foto1.pcx VERBATIM)
add_custom_target(yurn-install-data ALL DEPENDS ${YURN_STAGE}/Yurn.pak ${YURN_STAGE}/yurn.png)

install(FILES ${YURN_STAGE}/Yurn.pak DESTINATION ${CMAKE_INSTALL_DATADIR}/yurn)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/datos/ DESTINATION ${CMAKE_INSTALL_DATADIR}/yurn/datos
        PATTERN "*.pcx" EXCLUDE PATTERN "CREDITS" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/datos/CREDITS
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Manual pages (man/<program>.6 or .1, with the version and data folder
# filled in) for the programs that have one; bash completions likewise.
foreach(program ${YURN_PROGRAMS})
  foreach(section 1 6)
    set(page ${PROJECT_SOURCE_DIR}/man/${program}.${section})
    if(EXISTS ${page})
      configure_file(${page} ${PROJECT_BINARY_DIR}/man/${program}.${section} @ONLY)
      install(FILES ${PROJECT_BINARY_DIR}/man/${program}.${section}
              DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endif()
  endforeach()
  if(EXISTS ${PROJECT_SOURCE_DIR}/dist/completions/${program})
    install(FILES ${PROJECT_SOURCE_DIR}/dist/completions/${program}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/dist/yurn.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${YURN_STAGE}/yurn.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)

# The library: both static libraries, as yurn::base and yurn::yurn, with
# every header of their folders but the modules' private *_local.h ones,
# taken from src/ as they are at install time.
set_target_properties(yurn_base PROPERTIES EXPORT_NAME base)
set_target_properties(yurn_core PROPERTIES EXPORT_NAME yurn)
# The same names for a project that takes this tree in with add_subdirectory.
add_library(yurn::base ALIAS yurn_base)
add_library(yurn::yurn ALIAS yurn_core)
target_compile_features(yurn_base INTERFACE cxx_std_20)  # the headers are C++20
target_include_directories(yurn_base INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/yurn> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS yurn_base yurn_core EXPORT yurnTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Every folder of src/ (a new one is installed with no edit here).
file(GLOB YURN_SOURCE_FOLDERS CONFIGURE_DEPENDS LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/src/*)
foreach(folder ${YURN_SOURCE_FOLDERS})
  if(IS_DIRECTORY ${folder})
    install(DIRECTORY ${folder} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/yurn
            FILES_MATCHING PATTERN "*.h" PATTERN "*_local.h" EXCLUDE)
  endif()
endforeach()
set(YURN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/yurn)
install(EXPORT yurnTargets NAMESPACE yurn:: DESTINATION ${YURN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/dist/yurnConfig.cmake.in
  ${PROJECT_BINARY_DIR}/yurnConfig.cmake INSTALL_DESTINATION ${YURN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/yurnConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/yurnConfig.cmake ${PROJECT_BINARY_DIR}/yurnConfigVersion.cmake
        DESTINATION ${YURN_CMAKE_DIR})
# yurn.pc finds its prefix from its own folder, so it works wherever the
# installation ends up (a package, a scratch prefix).
file(RELATIVE_PATH YURN_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" YURN_PC_TO_PREFIX "${YURN_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/dist/yurn.pc.in ${PROJECT_BINARY_DIR}/yurn.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/yurn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
