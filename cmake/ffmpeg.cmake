# The FFmpeg libraries of the pipeline, as the target PkgConfig::FFMPEG.
#
# By default the bundled build: Debian's FFmpeg source configured with exactly the components the
# pipeline uses (scripts/build-ffmpeg), static and position-independent, built once per
# architecture into build-ffmpeg/ and shared by every build tree of this checkout. The daemon then
# loads no libav*/libsw* shared library; libx264 stays the system's shared library.
#
# -DK5_SYSTEM_FFMPEG=ON links the system's shared FFmpeg instead (libavdevice-dev & co.), which
# needs no FFmpeg build: handy while developing.

option(K5_SYSTEM_FFMPEG "Link the system's shared FFmpeg instead of the bundled static build" OFF)

set(_k5_ffmpeg_modules libavdevice libavformat libavcodec libswscale libavutil)

if(K5_SYSTEM_FFMPEG)
  pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET ${_k5_ffmpeg_modules})
  message(STATUS "FFmpeg: the system's shared libraries ${FFMPEG_VERSION}")
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    message(FATAL_ERROR "The bundled FFmpeg is built for the host or armhf only; "
                        "use -DK5_SYSTEM_FFMPEG=ON for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
  set(_k5_ffmpeg_arch armhf)
else()
  set(_k5_ffmpeg_arch host)
endif()

# Cached: returns at once when this architecture's build is already there.
execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/build-ffmpeg ${_k5_ffmpeg_arch}
                OUTPUT_VARIABLE K5_FFMPEG_PREFIX
                OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _k5_ffmpeg_result)
if(NOT _k5_ffmpeg_result EQUAL 0 OR NOT EXISTS "${K5_FFMPEG_PREFIX}/lib/libavcodec.a")
  message(FATAL_ERROR "The bundled FFmpeg could not be built (scripts/build-ffmpeg "
                      "${_k5_ffmpeg_arch}); -DK5_SYSTEM_FFMPEG=ON uses the system's instead")
endif()

# Configure again when the build procedure changes or the cached build has gone.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/scripts/build-ffmpeg ${K5_FFMPEG_PREFIX}/.complete)

# The static link line, libx264 and the system libraries included, from the build's own .pc
# files; the prefix's .pc files come first, the target's (x264) after them.
set(_k5_pc_path "${K5_FFMPEG_PREFIX}/lib/pkgconfig")
if(DEFINED ENV{PKG_CONFIG_PATH} AND NOT "$ENV{PKG_CONFIG_PATH}" STREQUAL "")
  string(APPEND _k5_pc_path ":$ENV{PKG_CONFIG_PATH}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${_k5_pc_path}"
                        ${PKG_CONFIG_EXECUTABLE} --static --libs ${_k5_ffmpeg_modules}
                OUTPUT_VARIABLE _k5_ffmpeg_ldflags OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _k5_ffmpeg_result)
if(NOT _k5_ffmpeg_result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know the bundled FFmpeg in ${K5_FFMPEG_PREFIX}")
endif()
separate_arguments(_k5_ffmpeg_ldflags UNIX_COMMAND "${_k5_ffmpeg_ldflags}")

# The bundled archives by their full path (never a shared library of the same name found
# elsewhere), everything else as pkg-config gives it.
set(_k5_ffmpeg_libs)
foreach(flag IN LISTS _k5_ffmpeg_ldflags)
  if(flag STREQUAL "-L${K5_FFMPEG_PREFIX}/lib")
    continue()
  endif()
  set(_k5_archive "")
  if(flag MATCHES "^-l(.+)$")
    set(_k5_archive "${K5_FFMPEG_PREFIX}/lib/lib${CMAKE_MATCH_1}.a")
  endif()
  if(_k5_archive AND EXISTS "${_k5_archive}")
    list(APPEND _k5_ffmpeg_libs "${_k5_archive}")
  else()
    list(APPEND _k5_ffmpeg_libs "${flag}")
  endif()
endforeach()

add_library(PkgConfig::FFMPEG INTERFACE IMPORTED)
set_target_properties(PkgConfig::FFMPEG PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${K5_FFMPEG_PREFIX}/include"
  INTERFACE_LINK_LIBRARIES "${_k5_ffmpeg_libs}")
message(STATUS "FFmpeg: bundled static build in ${K5_FFMPEG_PREFIX}")
