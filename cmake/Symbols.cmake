# What each shared object shows a client on Linux. libVaultkeep.so is the only
# library in the public folder; everything it links or loads is private to it,
# in <libdir>/vaultkeep (lib/vaultkeep in the build tree too, so the core finds
# its components the same way in both), and exports only the entry points its
# users look up or link, under a version node, with calls inside bound locally.
set(VK_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/vaultkeep)

# vk_private_library(target NAMES... [CXX NAMES...]): the names (globs) it exports, C
# names first, then C++ names as written in the source.
function(vk_private_library target)
  if(WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 VK "" "" "CXX")
  list(JOIN VK_UNPARSED_ARGUMENTS "; " globals)
  if(VK_CXX)
    list(JOIN VK_CXX "; " cxx)
    string(APPEND globals "; extern \"C++\" { ${cxx}; }")
  endif()
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(CONFIGURE OUTPUT ${map} CONTENT "VAULTKEEP_PRIVATE {\n  global: ${globals};\n  local: *;\n};\n")
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/vaultkeep
    INSTALL_RPATH "$ORIGIN;$ORIGIN/..")
  target_link_options(${target} PRIVATE -Wl,--version-script=${map} -Wl,-Bsymbolic-functions)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
