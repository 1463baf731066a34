# Installation: the library, with what it links and loads in its private folder
# (<libdir>/vaultkeep), the tool, the public headers, the manual pages, a CMake
# package and a pkg-config file, so that clients write
#   find_package(Vaultkeep REQUIRED)  +  target_link_libraries(app Vaultkeep::Vaultkeep)
#
# The package describes the installed library as an imported target of its own
# (rather than through install(EXPORT)), so that the component libraries it links
# privately need not be exported with it.
include(CMakePackageConfigHelpers)

set(VK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vaultkeep)

#   find_package(Vaultkeep REQUIRED)  +  target_link_libraries(app Vaultkeep::Vaultkeep)
# or    cc app.c $(pkg-config --cflags --libs vaultkeep)
#
# Components: "runtime" (the library and its private folder), "tool", "dev" (headers,
# the link name, the CMake and pkg-config files, vaultkeep(3)) and, when present,
# "python"; the Debian packages are cut along them (debian/).
install(TARGETS Vaultkeep LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
# Linked by libVaultkeep.so (the PAL, diaglog, kry10) or loaded by it at run time: no link
# names, nothing a client could link by mistake.
install(TARGETS vkpal diaglog kry10 tpmksp comservers ziputil LIBRARY DESTINATION ${VK_PRIVATE_DIR}
  COMPONENT runtime NAMELINK_SKIP)
install(TARGETS vaultkeep RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)

install(FILES ${VK_PUBLIC_INCLUDE}/vaultkeep/vaultkeep.h ${VK_PUBLIC_INCLUDE}/vaultkeep/vaultkeep.hpp
  ${VK_PUBLIC_INCLUDE}/vaultkeep/oletypes.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vaultkeep COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/docs/man/vaultkeep.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
if(EXISTS ${CMAKE_SOURCE_DIR}/docs/man/vaultkeep.3)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/man/vaultkeep.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/docs/completion/vaultkeep)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/completion/vaultkeep
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
endif()
file(RELATIVE_PATH VK_PC_UP /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vaultkeep.pc.in ${CMAKE_BINARY_DIR}/vaultkeep.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vaultkeep.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

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
  DESTINATION ${VK_INSTALL_CMAKEDIR} COMPONENT dev)
