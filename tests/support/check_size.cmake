# cmake -DPROGRAM=FILE -DLIMIT=BYTES -P check_size.cmake: fails when FILE is larger.
file(SIZE "${PROGRAM}" size)
message(STATUS "${PROGRAM}: ${size} bytes (limit ${LIMIT})")
if(size GREATER LIMIT)
  message(FATAL_ERROR "${PROGRAM} is ${size} bytes, more than ${LIMIT}")
endif()
