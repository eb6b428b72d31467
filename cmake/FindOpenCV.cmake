# Finds OpenCV for find_package(OpenCV REQUIRED COMPONENTS core imgproc ...).
#
# The meta package libopencv-dev installs OpenCVConfig.cmake, which is used when
# present. Debian's per-module packages (libopencv-core-dev, ...) ship only the
# headers and libraries, so without the config file this module locates them
# itself and defines what the config would:
#   OpenCV_FOUND, OpenCV_VERSION, OpenCV_INCLUDE_DIRS, OpenCV_LIBS,
#   OpenCV_<component>_FOUND and one imported target opencv_<component> each.

find_package(OpenCV CONFIG QUIET COMPONENTS ${OpenCV_FIND_COMPONENTS})
if(OpenCV_FOUND)
  if(NOT OpenCV_FIND_QUIETLY)
    message(STATUS "Found OpenCV ${OpenCV_VERSION} (package config)")
  endif()
  return()
endif()

find_path(OpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
mark_as_advanced(OpenCV_INCLUDE_DIR)

set(OpenCV_VERSION "")
if(OpenCV_INCLUDE_DIR AND EXISTS "${OpenCV_INCLUDE_DIR}/opencv2/core/version.hpp")
  file(STRINGS "${OpenCV_INCLUDE_DIR}/opencv2/core/version.hpp" _opencv_version_lines
       REGEX "^#define CV_VERSION_(MAJOR|MINOR|REVISION)[ \t]+[0-9]+")
  foreach(_part MAJOR MINOR REVISION)
    string(REGEX REPLACE ".*#define CV_VERSION_${_part}[ \t]+([0-9]+).*" "\\1"
           OpenCV_VERSION_${_part} "${_opencv_version_lines}")
  endforeach()
  set(OpenCV_VERSION "${OpenCV_VERSION_MAJOR}.${OpenCV_VERSION_MINOR}.${OpenCV_VERSION_REVISION}")
  unset(_opencv_version_lines)
endif()

set(OpenCV_LIBS "")
set(_opencv_components ${OpenCV_FIND_COMPONENTS})
if(NOT _opencv_components)
  set(_opencv_components core)
endif()
foreach(_c IN LISTS _opencv_components)
  find_library(OpenCV_${_c}_LIBRARY NAMES opencv_${_c})
  mark_as_advanced(OpenCV_${_c}_LIBRARY)
  if(OpenCV_${_c}_LIBRARY AND OpenCV_INCLUDE_DIR)
    set(OpenCV_${_c}_FOUND TRUE)
    if(NOT TARGET opencv_${_c})
      add_library(opencv_${_c} UNKNOWN IMPORTED)
      set_target_properties(opencv_${_c} PROPERTIES
        IMPORTED_LOCATION "${OpenCV_${_c}_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${OpenCV_INCLUDE_DIR}")
    endif()
    list(APPEND OpenCV_LIBS opencv_${_c})
  else()
    set(OpenCV_${_c}_FOUND FALSE)
  endif()
endforeach()
unset(_opencv_components)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCV
  REQUIRED_VARS OpenCV_INCLUDE_DIR
  VERSION_VAR OpenCV_VERSION
  HANDLE_COMPONENTS)
if(OpenCV_FOUND)
  set(OpenCV_INCLUDE_DIRS "${OpenCV_INCLUDE_DIR}")
endif()
