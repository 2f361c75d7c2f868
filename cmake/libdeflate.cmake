# libdeflate, which deflates the image's chunks: the target `volpack_libdeflate`.
#
# On Linux (and MSYS2, vcpkg) the installed library is used (Debian:
# libdeflate-dev). The Windows cross build has no such package: it compiles
# Debian's source package of the same library (tools/fetch-libdeflate-source.sh
# unpacks it into the build folder at configure time), so that volpack.exe
# writes the same bytes as the Linux build. VOLPACK_LIBDEFLATE_SOURCE names an
# unpacked libdeflate source tree to compile instead, on any host.
set(VOLPACK_LIBDEFLATE_SOURCE "" CACHE PATH "libdeflate source tree to compile (empty: the installed library)")

if(NOT VOLPACK_LIBDEFLATE_SOURCE AND WIN32 AND CMAKE_CROSSCOMPILING)
  set(_fetched ${CMAKE_BINARY_DIR}/libdeflate)
  if(NOT EXISTS ${_fetched}/src/libdeflate.h)
    message(STATUS "Fetching Debian's libdeflate source package into ${_fetched}")
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/fetch-libdeflate-source.sh ${_fetched}
                    RESULT_VARIABLE _fetch_result)
    if(NOT _fetch_result EQUAL 0)
      message(FATAL_ERROR "Could not fetch libdeflate's source package (tools/fetch-libdeflate-source.sh); "
                          "set VOLPACK_LIBDEFLATE_SOURCE to an unpacked libdeflate source tree")
    endif()
  endif()
  set(VOLPACK_LIBDEFLATE_SOURCE ${_fetched}/src)
endif()

if(VOLPACK_LIBDEFLATE_SOURCE)
  enable_language(C)
  file(GLOB _libdeflate_sources ${VOLPACK_LIBDEFLATE_SOURCE}/lib/*.c ${VOLPACK_LIBDEFLATE_SOURCE}/lib/*/*.c)
  if(NOT _libdeflate_sources)
    message(FATAL_ERROR "No libdeflate sources under ${VOLPACK_LIBDEFLATE_SOURCE}/lib")
  endif()
  add_library(volpack_libdeflate STATIC ${_libdeflate_sources})
  target_include_directories(volpack_libdeflate PUBLIC ${VOLPACK_LIBDEFLATE_SOURCE})
  # The library's own build flags; its code is not held to volpack's warnings.
  set_target_properties(volpack_libdeflate PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
  target_compile_definitions(volpack_libdeflate PRIVATE _ANSI_SOURCE)
  target_compile_options(volpack_libdeflate PRIVATE $<IF:$<C_COMPILER_ID:MSVC>,/O2 /w,-O2 -w>)
else()
  find_path(VOLPACK_LIBDEFLATE_INCLUDE libdeflate.h)
  if(WIN32)
    find_library(VOLPACK_LIBDEFLATE_LIBRARY NAMES libdeflate.a deflatestatic libdeflatestatic deflate libdeflate)
  else()
    find_library(VOLPACK_LIBDEFLATE_LIBRARY NAMES deflate libdeflate)
  endif()
  if(NOT VOLPACK_LIBDEFLATE_INCLUDE OR NOT VOLPACK_LIBDEFLATE_LIBRARY)
    message(FATAL_ERROR "libdeflate not found: install it (Debian: apt-get install libdeflate-dev) "
                        "or set VOLPACK_LIBDEFLATE_SOURCE to its source tree")
  endif()
  add_library(volpack_libdeflate INTERFACE)
  target_include_directories(volpack_libdeflate INTERFACE ${VOLPACK_LIBDEFLATE_INCLUDE})
  target_link_libraries(volpack_libdeflate INTERFACE ${VOLPACK_LIBDEFLATE_LIBRARY})
endif()
