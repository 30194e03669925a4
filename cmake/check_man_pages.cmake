# cmake -DGROFF=groff -DPAGES="a.1;b.5" -P check_man_pages.cmake
# Fails when groff, with every warning on, has anything to say about a page.
set(failed FALSE)
foreach(page IN LISTS PAGES)
  execute_process(COMMAND ${GROFF} -ww -z -man ${page}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
    message("${page}: groff -ww -z -man exited ${status}:\n${out}${err}")
    set(failed TRUE)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "man pages with groff warnings")
endif()
