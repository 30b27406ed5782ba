# cmake -DSCDOC=<scdoc> -DSOURCE=<page.scd> -DOUTPUT=<page.gz> -P man_page.cmake
# Converts one man page from scdoc's format to roff and compresses it the way
# Debian ships man pages (gzip -9, no name or time stamp in the header).
# OUTPUT appears only when both steps succeeded.
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${OUTPUT}.roff
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.roff)
  message(FATAL_ERROR "scdoc could not convert ${SOURCE}: ${errors}")
endif()
execute_process(COMMAND gzip -9nc ${OUTPUT}.roff OUTPUT_FILE ${OUTPUT}.tmp RESULT_VARIABLE status)
file(REMOVE ${OUTPUT}.roff)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "gzip could not compress the man page ${OUTPUT}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
