# drav_library(name dirs deps [EXCLUDE files...])
# One static library from every .cpp under the given folders; an interface
# library while a folder has no sources yet.
#
# The layers are kept by the include path: a library sees only its own folders
# and, through what it links, the folders below it. Each library publishes an
# include root of its own (build/include/<name>) holding links to its folders
# alone, so an include of a folder higher up fails to compile.
function(drav_library name dirs deps)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  # Dependencies may also be given unquoted, as further arguments before EXCLUDE.
  list(APPEND deps ${ARG_UNPARSED_ARGUMENTS})
  set(root ${CMAKE_BINARY_DIR}/include/${name})
  set(srcs)
  foreach(d IN LISTS dirs)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
         ${CMAKE_SOURCE_DIR}/${d}/*.cpp ${CMAKE_SOURCE_DIR}/${d}/*.c)
    list(APPEND srcs ${found})
    get_filename_component(parent ${root}/${d} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${d} ${root}/${d} SYMBOLIC)
  endforeach()
  foreach(x IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM srcs ${CMAKE_SOURCE_DIR}/${x})
  endforeach()
  # Source positions name files relative to the tree, also through the links (which the
  # generator may name relative to the build folder).
  file(RELATIVE_PATH rel ${CMAKE_BINARY_DIR} ${root})
  set(map -fmacro-prefix-map=${root}/= -fmacro-prefix-map=${rel}/=)
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${root})
    target_compile_options(${name} PUBLIC ${map})
    target_link_libraries(${name} PUBLIC ${deps})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${root})
    target_compile_options(${name} INTERFACE ${map})
    target_link_libraries(${name} INTERFACE ${deps})
  endif()
endfunction()
