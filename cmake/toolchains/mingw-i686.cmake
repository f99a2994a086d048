# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 toolchain.
# The -posix compilers are the ones whose libstdc++ has std::thread.
# Libraries come from scripts/build-windows-deps; see the notes at the end.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORV_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${ORV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORV_MINGW_TRIPLE}-windres)

if(DEFINED ENV{ORV_DEPS_CACHE})
  set(_orv_deps_default "$ENV{ORV_DEPS_CACHE}/windows-deps/${ORV_MINGW_TRIPLE}")
else()
  set(_orv_deps_default "/var/cache/orv-launcher/windows-deps/${ORV_MINGW_TRIPLE}")
endif()
set(ORV_WINDOWS_DEPS "${_orv_deps_default}" CACHE PATH
    "Prefix with the static Windows libraries for ${ORV_MINGW_TRIPLE}")
# try_compile projects read this file again and must see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORV_WINDOWS_DEPS)

# Headers and libraries only from the Windows prefixes, never from the host;
# programs (windres, code generators) from the host.
set(CMAKE_FIND_ROOT_PATH "${ORV_WINDOWS_DEPS}" "/usr/${ORV_MINGW_TRIPLE}")
set(CMAKE_PREFIX_PATH "${ORV_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The prefix has only libz.a; this keeps FindZLIB from taking libz.dll.a from
# the MinGW sysroot.
set(ZLIB_USE_STATIC_LIBS ON)

# One self-contained .exe: libgcc, libstdc++ and winpthread linked in, so
# only Windows' own DLLs are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Consumers:
#   find_package(CURL CONFIG REQUIRED)     -> CURL::libcurl (CURL_STATICLIB and
#                                             the Windows system libraries come with it)
#   find_package(LibArchive REQUIRED)      -> LibArchive::LibArchive; add the define
#                                             LIBARCHIVE_STATIC and link ZLIB::ZLIB bcrypt
#   find_library(deflate) + find_path(libdeflate.h)
#   find_package(unofficial-sodium CONFIG REQUIRED) -> unofficial-sodium::sodium (static)
#   find_path(httplib.h)                   -> the single-header cpp-httplib
#   find_package(ZLIB REQUIRED)            -> ZLIB::ZLIB
#   find_package(nlohmann_json CONFIG REQUIRED) -> nlohmann_json::nlohmann_json
#   find_package(GTest CONFIG REQUIRED)    -> GTest::gtest, GTest::gtest_main, GTest::gmock
