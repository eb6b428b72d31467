# find_package(quovix): the static library quovix::quovixcore with the public
# header <quovix/quovix.h>, and the libraries it links against.
include(CMakeFindDependencyMacro)
set(_quovix_module_path "${CMAKE_MODULE_PATH}")
# Debian's per-module OpenCV packages ship no package config: the module
# installed beside this file finds them.
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
find_dependency(TIFF)
find_dependency(JPEG)
find_dependency(PNG)
find_dependency(Threads)
find_dependency(OpenCV COMPONENTS core imgproc features2d calib3d video)
find_dependency(PkgConfig)
set(CMAKE_MODULE_PATH "${_quovix_module_path}")
unset(_quovix_module_path)
pkg_check_modules(EXIV2 REQUIRED QUIET IMPORTED_TARGET exiv2)
pkg_check_modules(LIBRAW REQUIRED QUIET IMPORTED_TARGET libraw_r)
include(${CMAKE_CURRENT_LIST_DIR}/quovixTargets.cmake)
