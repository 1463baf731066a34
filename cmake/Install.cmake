# Installation: the library with the components it loads beside itself, the tool,
# the public headers, the manual page, and a CMake package so that clients write
#   find_package(Vaultkeep REQUIRED)  +  target_link_libraries(app Vaultkeep::Vaultkeep)
#
# The package describes the installed library as an imported target of its own
# (rather than through install(EXPORT)), so that the component libraries it links
# privately need not be exported with it.
include(CMakePackageConfigHelpers)

set(VK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vaultkeep)

install(TARGETS Vaultkeep LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Linked by libVaultkeep.so (the PAL, diaglog, kry10) or loaded by it at run time from its own folder.
install(TARGETS vkpal diaglog kry10 tpmksp comservers ziputil LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS vaultkeep RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# vaultkeep.h includes "pal/ole_types.h" relative to itself.
install(FILES ${VK_PUBLIC_INCLUDE}/vaultkeep/vaultkeep.h ${VK_PUBLIC_INCLUDE}/vaultkeep/vaultkeep.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vaultkeep)
install(FILES ${VK_PAL_INCLUDE}/pal/ole_types.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vaultkeep/pal)
install(FILES ${CMAKE_SOURCE_DIR}/docs/man/vaultkeep.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/docs/man/vaultkeep.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES ${CMAKE_SOURCE_DIR}/docs/completion/vaultkeep
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

# The Python package, in a component of its own (the python3-vaultkeep package). The default is
# Debian's folder for pure-Python packages, which every Python 3 of the system searches.
set(VK_PYTHON_DIR lib/python3/dist-packages CACHE STRING "Where the Python package vaultkeep is installed")
install(DIRECTORY src/python/vaultkeep DESTINATION ${VK_PYTHON_DIR} COMPONENT python
  PATTERN __pycache__ EXCLUDE)

get_target_property(VK_LIBRARY_SOVERSION Vaultkeep SOVERSION)
get_target_property(VK_LIBRARY_VERSION Vaultkeep VERSION)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/VaultkeepConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/VaultkeepConfig.cmake
  INSTALL_DESTINATION ${VK_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/VaultkeepConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/VaultkeepConfig.cmake ${CMAKE_BINARY_DIR}/cmake/VaultkeepConfigVersion.cmake
  DESTINATION ${VK_INSTALL_CMAKEDIR})
