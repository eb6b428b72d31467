# Writes the pkg-config file. Its prefix is found from the file's own place
# (one ".." per folder of the library folder, plus pkgconfig), so a staged
# DESTDIR install, a moved prefix and a multiarch libdir such as
# lib/x86_64-linux-gnu all resolve; absolute folders are kept as given.
# Inputs: PC_TEMPLATE, PC_OUTPUT, PC_LIBDIR, PC_INCLUDEDIR, PC_VERSION, PC_INSTALL_PREFIX.
# Used by the build and, in script mode (cmake -D... -P), by the tests.
function(quovix_write_pc)
  if(IS_ABSOLUTE "${PC_LIBDIR}")
    set(prefix "${PC_INSTALL_PREFIX}")
    set(libdir "${PC_LIBDIR}")
  else()
    file(RELATIVE_PATH up "/p/${PC_LIBDIR}/pkgconfig" "/p")
    string(REGEX REPLACE "/$" "" up "${up}")
    set(prefix "\${pcfiledir}/${up}")
    set(libdir "\${prefix}/${PC_LIBDIR}")
  endif()
  if(IS_ABSOLUTE "${PC_INCLUDEDIR}")
    set(includedir "${PC_INCLUDEDIR}")
  else()
    set(includedir "\${prefix}/${PC_INCLUDEDIR}")
  endif()
  set(PROJECT_VERSION "${PC_VERSION}")
  configure_file("${PC_TEMPLATE}" "${PC_OUTPUT}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  quovix_write_pc()
endif()
