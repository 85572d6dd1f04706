# Sources are gathered by pattern, not listed: a library's folder and its subsystem
# subfolders hold exactly its units, so a new unit is built by adding its files, with no
# list to keep in step (CONFIGURE_DEPENDS makes the build look again when files come or
# go). Headers are included by name from any folder that holds one.

# quennel_unit_sources(ROOT NAME OUT_CORE OUT_EXT): the library's sources less its
# extension module, and the extension module's source.
function(quennel_unit_sources root name out_core out_ext)
  file(GLOB_RECURSE core CONFIGURE_DEPENDS ${root}/${name}/*.cpp)
  set(ext ${core})
  list(FILTER core EXCLUDE REGEX "_ext\\.cpp$")
  list(FILTER ext INCLUDE REGEX "_ext\\.cpp$")
  set(${out_core} ${core} PARENT_SCOPE)
  set(${out_ext} ${ext} PARENT_SCOPE)
endfunction()

# quennel_unit_dirs(ROOT NAME OUT): common/ and every folder of the library with a header.
function(quennel_unit_dirs root name out)
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${root}/${name}/*.h ${root}/${name}/*.hpp)
  set(dirs ${root}/common)
  foreach(h ${headers})
    get_filename_component(dir ${h} DIRECTORY)
    list(APPEND dirs ${dir})
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  set(${out} ${dirs} PARENT_SCOPE)
endfunction()

# quennel_public_headers(ROOT OUT NAME...): the public C headers (the .h files) of the
# named libraries and of common/, which both carry.
function(quennel_public_headers root out)
  set(patterns ${root}/common/*.h)
  foreach(name ${ARGN})
    list(APPEND patterns ${root}/${name}/*.h)
  endforeach()
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${patterns})
  set(${out} ${headers} PARENT_SCOPE)
endfunction()
