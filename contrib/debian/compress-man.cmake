# Run by CPack after the install step and before packaging: compresses the
# manual pages in the staging tree with gzip -9n, as Debian ships them.
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(page IN LISTS staged)
  if(page MATCHES "/share/man/man[0-9]/[^/]+\\.[0-9]$")
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip ${page} failed")
    endif()
  endif()
endforeach()
