# The Windows build's dependencies and settings (included from the top level when WIN32).
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "")
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)
# Static C++ runtime and winpthread: the DLLs and programs need no mingw DLL at run time.
add_link_options(-static -static-libgcc -static-libstdc++)

# libgcrypt from Debian's mingw package, linked statically (with libgpg-error).
find_library(GCRYPT_LIBRARY NAMES libgcrypt.a REQUIRED)
find_library(GPG_ERROR_LIBRARY NAMES libgpg-error.a REQUIRED)
find_path(GCRYPT_INCLUDE_DIR gcrypt.h REQUIRED)
add_library(vk_gcrypt INTERFACE)
target_include_directories(vk_gcrypt INTERFACE ${GCRYPT_INCLUDE_DIR})
target_link_libraries(vk_gcrypt INTERFACE ${GCRYPT_LIBRARY} ${GPG_ERROR_LIBRARY} ws2_32)

# libzip, cross-built from Debian's source by scripts/win-deps.sh into VK_WIN_DEPS.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED) # the static libzip names it without finding it
find_package(libzip CONFIG REQUIRED)
