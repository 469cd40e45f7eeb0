# The libraries of the Windows build, under the names the Linux build finds
# them by, so that every CMakeLists.txt links the same targets:
#   ZLIB::ZLIB          Debian's libz-mingw-w64-dev (static libz.a)
#   PkgConfig::MINIZIP  minizip from Debian's zlib source  } built by
#   PkgConfig::GLFW3    GLFW from Debian's glfw3 source    } cmake/fetch-win-deps.sh
#   PkgConfig::SODIUM   libsodium from Debian's source     }
#   PkgConfig::DEFLATE  libdeflate from Debian's source    }
#   OpenGL::GL          the system's opengl32
#   GTest::gtest(_main) googletest from Debian's libgtest-dev sources
# Everything is linked statically: the programs run with nothing installed.
set(SKYVANE_WIN_DEPS "${CMAKE_BINARY_DIR}/deps/prefix" CACHE PATH
    "Where cmake/fetch-win-deps.sh installed minizip and GLFW")
if(NOT EXISTS "${SKYVANE_WIN_DEPS}/lib/libminizip.a" OR NOT EXISTS "${SKYVANE_WIN_DEPS}/lib/libglfw3.a"
   OR NOT EXISTS "${SKYVANE_WIN_DEPS}/lib/libsodium.a" OR NOT EXISTS "${SKYVANE_WIN_DEPS}/lib/libdeflate.a")
  message(FATAL_ERROR "minizip, GLFW, libsodium or libdeflate missing in ${SKYVANE_WIN_DEPS}: run cmake/fetch-win-deps.sh ${CMAKE_BINARY_DIR}"
                      " (make windows does)")
endif()

add_link_options(-static -static-libgcc -static-libstdc++)
# DWARF 4: the version DbgHelp reads (Wine's too) to name functions and
# lines in the crash report.
add_compile_options(-gdwarf-4)
# UTF-16 entry points and no min/max macros from the system headers.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

find_library(SKYVANE_WIN_ZLIB NAMES libz.a REQUIRED)
add_library(ZLIB::ZLIB STATIC IMPORTED)
set_target_properties(ZLIB::ZLIB PROPERTIES IMPORTED_LOCATION "${SKYVANE_WIN_ZLIB}")

add_library(PkgConfig::MINIZIP STATIC IMPORTED)
set_target_properties(PkgConfig::MINIZIP PROPERTIES
  IMPORTED_LOCATION "${SKYVANE_WIN_DEPS}/lib/libminizip.a"
  INTERFACE_INCLUDE_DIRECTORIES "${SKYVANE_WIN_DEPS}/include/minizip;${SKYVANE_WIN_DEPS}/include"
  INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)

add_library(PkgConfig::SODIUM STATIC IMPORTED)
set_target_properties(PkgConfig::SODIUM PROPERTIES
  IMPORTED_LOCATION "${SKYVANE_WIN_DEPS}/lib/libsodium.a"
  INTERFACE_INCLUDE_DIRECTORIES "${SKYVANE_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC=1
  INTERFACE_LINK_LIBRARIES advapi32)

add_library(PkgConfig::DEFLATE STATIC IMPORTED)
set_target_properties(PkgConfig::DEFLATE PROPERTIES
  IMPORTED_LOCATION "${SKYVANE_WIN_DEPS}/lib/libdeflate.a"
  INTERFACE_INCLUDE_DIRECTORIES "${SKYVANE_WIN_DEPS}/include")

add_library(OpenGL::GL INTERFACE IMPORTED)
set_target_properties(OpenGL::GL PROPERTIES INTERFACE_LINK_LIBRARIES "opengl32;gdi32")

add_library(PkgConfig::GLFW3 STATIC IMPORTED)
set_target_properties(PkgConfig::GLFW3 PROPERTIES
  IMPORTED_LOCATION "${SKYVANE_WIN_DEPS}/lib/libglfw3.a"
  INTERFACE_INCLUDE_DIRECTORIES "${SKYVANE_WIN_DEPS}/include"
  INTERFACE_LINK_LIBRARIES "OpenGL::GL;gdi32;user32;shell32")

set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# Test programs run under Wine with a prefix private to this build.
find_program(SKYVANE_WINE wine)
if(SKYVANE_WINE)
  set(SKYVANE_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
else()
  message(WARNING "wine not found: the Windows test programs are built but cannot be run")
endif()
