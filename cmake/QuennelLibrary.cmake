# Each library is an object library of its units, linked once as a shared library. C and
# C++ callers and the library's Python extension module all use that one shared library,
# so a process holds a single copy of every table and flag (the sine tables, the interrupt
# state) however it loaded the library. The C++ tests link the object library, which keeps
# the internal units reachable to them.
#
# Where the pieces go:
#   build tree  build/lib/lib<name>.so*, build/python/<name>.*.so (run path $ORIGIN/../lib)
#   install     P/lib/lib<name>.so.<version> with its SONAME link, the public C headers in
#               P/include/quennel/, pkg-config files, the CMake package quennel; the
#               modules, their stubs and the quennel package in QUENNEL_INSTALL_PYTHONDIR
#   wheel       the libraries, under their SONAME, beside the modules (run path $ORIGIN)

include(CMakePackageConfigHelpers)

set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
if(SKBUILD)
  set(quennel_lib_destination .)
  set(QUENNEL_INSTALL_PYTHONDIR .)
else()
  set(quennel_lib_destination ${CMAKE_INSTALL_LIBDIR})
  set(QUENNEL_INSTALL_PYTHONDIR
    ${CMAKE_INSTALL_LIBDIR}/python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}/site-packages
    CACHE PATH "Where an install puts the extension modules and the quennel package (empty: nowhere)")
endif()

# The run path from an installed module to the installed libraries.
function(quennel_module_install_rpath out)
  if(IS_ABSOLUTE "${quennel_lib_destination}" OR IS_ABSOLUTE "${QUENNEL_INSTALL_PYTHONDIR}")
    cmake_path(ABSOLUTE_PATH quennel_lib_destination BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
      OUTPUT_VARIABLE lib_dir)
    set(${out} ${lib_dir} PARENT_SCOPE)
    return()
  endif()
  cmake_path(RELATIVE_PATH quennel_lib_destination BASE_DIRECTORY ${QUENNEL_INSTALL_PYTHONDIR}
    OUTPUT_VARIABLE relative)
  string(REGEX REPLACE "/$" "" relative "${relative}")
  if(NOT relative STREQUAL "" AND NOT relative STREQUAL ".")
    set(${out} "$ORIGIN/${relative}" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN" PARENT_SCOPE)
  endif()
endfunction()

# quennel_library(NAME DESCRIPTION): the object library NAME_objs, the shared library libNAME (also
# known as quennel::NAME) and the extension module NAME.
function(quennel_library name description)
  quennel_unit_sources(${PROJECT_SOURCE_DIR} ${name} core_sources ext_source)
  quennel_unit_dirs(${PROJECT_SOURCE_DIR} ${name} unit_dirs)
  add_library(${name}_objs OBJECT ${core_sources} ${COMMON_SOURCES})
  target_include_directories(${name}_objs PUBLIC ${unit_dirs})
  string(TOUPPER ${name} upper)
  target_compile_definitions(${name}_objs PRIVATE QUENNEL_BUILDING_${upper}=1)
  target_link_libraries(${name}_objs PUBLIC ${CJSON_TARGET} Threads::Threads m)

  # Linking an object library directly adds its object files to the target.
  add_library(lib${name} SHARED)
  add_library(quennel::${name} ALIAS lib${name})
  set_target_properties(lib${name} PROPERTIES OUTPUT_NAME ${name} EXPORT_NAME ${name}
    SOVERSION ${PROJECT_VERSION_MAJOR} LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
  if(NOT SKBUILD)
    # A wheel cannot hold symbolic links: there the file carries the SONAME itself.
    set_target_properties(lib${name} PROPERTIES VERSION ${PROJECT_VERSION})
  endif()
  target_link_libraries(lib${name} PRIVATE ${name}_objs)
  target_include_directories(lib${name} INTERFACE "$<BUILD_INTERFACE:${unit_dirs}>"
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_options(lib${name} PRIVATE -Wl,--no-undefined)

  # The module is only the binding: every C function it calls resolves in libNAME.
  python_add_library(${name} MODULE WITH_SOABI ${ext_source})
  # Built against NumPy 2 headers, the modules also run on NumPy 1.24 (as Debian's GNU Radio
  # has it) because they use only the array API that version already offers.
  target_compile_definitions(${name} PRIVATE NPY_NO_DEPRECATED_API=NPY_2_0_API_VERSION
    NPY_TARGET_VERSION=NPY_1_24_API_VERSION)
  target_link_libraries(${name} PRIVATE lib${name} Python::NumPy)
  quennel_module_install_rpath(module_rpath)
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/python
    INSTALL_RPATH "${module_rpath}")

  if(SKBUILD)
    install(TARGETS lib${name} LIBRARY DESTINATION ${quennel_lib_destination} NAMELINK_SKIP)
  else()
    install(TARGETS lib${name} EXPORT quennelTargets LIBRARY DESTINATION ${quennel_lib_destination})
    cmake_path(RELATIVE_PATH CMAKE_INSTALL_PREFIX BASE_DIRECTORY
      ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig OUTPUT_VARIABLE pc_to_prefix)
    string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/quennel-library.pc.in
      ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc
      DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endif()
  if(NOT QUENNEL_INSTALL_PYTHONDIR STREQUAL "")
    install(TARGETS ${name} LIBRARY DESTINATION ${QUENNEL_INSTALL_PYTHONDIR})
  endif()
endfunction()

# The headers, the CMake package and, for a plain install, the Python side, once all
# libraries are declared.
function(quennel_install_package)
  # The modules' stubs as stub-only packages (kettara-stubs, tolvane-stubs), where type
  # checkers look for the stubs of an installed extension module.
  if(NOT QUENNEL_INSTALL_PYTHONDIR STREQUAL "")
    foreach(module kettara tolvane)
      install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/${module}-stubs DESTINATION ${QUENNEL_INSTALL_PYTHONDIR}
        PATTERN __pycache__ EXCLUDE)
    endforeach()
  endif()
  if(SKBUILD)
    return()  # the wheel takes the quennel package from its own settings
  endif()
  if(NOT QUENNEL_INSTALL_PYTHONDIR STREQUAL "")
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quennel DESTINATION ${QUENNEL_INSTALL_PYTHONDIR}
      PATTERN __pycache__ EXCLUDE)
  endif()

  quennel_public_headers(${PROJECT_SOURCE_DIR} headers kettara tolvane)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quennel)

  set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quennel)
  install(EXPORT quennelTargets NAMESPACE quennel:: DESTINATION ${package_dir})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quennelConfig.cmake.in
    ${CMAKE_BINARY_DIR}/cmake/quennelConfig.cmake INSTALL_DESTINATION ${package_dir})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/quennelConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/cmake/quennelConfig.cmake
    ${CMAKE_BINARY_DIR}/cmake/quennelConfigVersion.cmake DESTINATION ${package_dir})
endfunction()
