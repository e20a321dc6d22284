# cmake -DIN=FILE -DOUT=FILE.gz -P gzip-file.cmake: gzip with the highest
# compression and no name or time stamp inside, as Debian packages want.
execute_process(COMMAND gzip -9nc ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip ${IN} failed")
endif()
