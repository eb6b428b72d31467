# Compiles one-line files against each layer's view of the sources: an
# include of a layer below must compile, one of a layer above must not.
# Inputs: CXX, LAYERS (the build's layers folder), INCLUDE, WORK.
file(MAKE_DIRECTORY ${WORK})
# layer | header it may include | header of a layer above it
set(cases
  "support|support/status.h|imageio/file_format.h"
  "tiff|imageio/lzw_encode.h|imageio/icc_profile.h"
  "tiff|support/status.h|imageio/image_list.h"
  "imageio|imageio/tiff_io.h|fusion/fuse_image_set.h"
  "imageio|support/status.h|analysis/pyramid.h"
  "analysis|imageio/file_format.h|fusion/fuse_image_set.h"
  "alignment|alignment/alignment.h|support/status.h"
  "fusion|analysis/pyramid.h|app/command_line.h")
foreach(case ${cases})
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 layer)
  list(GET parts 1 allowed)
  list(GET parts 2 refused)
  foreach(header ${allowed} ${refused})
    set(source ${WORK}/${layer}_check.cpp)
    file(WRITE ${source} "#include \"${header}\"\n")
    execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -I${LAYERS}/${layer} -I${INCLUDE} ${source}
                    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(header STREQUAL allowed AND NOT result EQUAL 0)
      message(FATAL_ERROR "${layer} cannot include ${header}:\n${out}")
    endif()
    if(header STREQUAL refused)
      if(result EQUAL 0)
        message(FATAL_ERROR "${layer} compiles with an include of ${header}")
      endif()
      if(NOT out MATCHES "${header}: No such file")
        message(FATAL_ERROR "${layer} with ${header} failed for another reason:\n${out}")
      endif()
    endif()
  endforeach()
endforeach()
