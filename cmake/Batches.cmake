# Compiling several source files as one translation unit: the headers they share are read
# once for the batch. The batch files name their sources relative to a base folder (given to
# the compiler with -iquote), so they read alike in every clone and ccache finds them again.

# vk_batch_files(OUT BASE SIZE SOURCE...): writes the batch files below the current binary
# folder's batches/, named after OUT, and sets OUT to their paths.
function(vk_batch_files out base size)
  set(batches)
  set(content)
  set(count 0)
  list(LENGTH ARGN total)
  foreach(source ${ARGN})
    file(RELATIVE_PATH rel ${base} ${source})
    string(APPEND content "#include \"${rel}\"\n")
    math(EXPR count "${count} + 1")
    math(EXPR full "${count} % ${size}")
    if(full EQUAL 0 OR count EQUAL total)
      list(LENGTH batches n)
      set(batch ${CMAKE_CURRENT_BINARY_DIR}/batches/${out}_${n}.cpp)
      file(CONFIGURE OUTPUT ${batch} CONTENT "${content}")
      list(APPEND batches ${batch})
      set(content)
    endif()
  endforeach()
  set(${out} ${batches} PARENT_SCOPE)
endfunction()

# vk_batch_target(TARGET SIZE): replaces a target's C++ sources by batches of SIZE. A file's
# own names in an anonymous namespace become an included file's, which gcc warns of.
function(vk_batch_target target size)
  get_target_property(sources ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(cpp)
  set(other)
  foreach(source ${sources})
    if(source MATCHES "\\.cpp$")
      if(NOT IS_ABSOLUTE ${source})
        set(source ${dir}/${source})
      endif()
      list(APPEND cpp ${source})
    else()
      list(APPEND other ${source})
    endif()
  endforeach()
  vk_batch_files(${target} ${CMAKE_SOURCE_DIR} ${size} ${cpp})
  set_property(TARGET ${target} PROPERTY SOURCES ${other} ${${target}})
  target_compile_options(${target} PRIVATE "SHELL:-iquote ${CMAKE_SOURCE_DIR}"
    $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
endfunction()
