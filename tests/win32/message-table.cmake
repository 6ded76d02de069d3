# Checks the event source's message table as windmc made it: one block with
# the one message 0x40000001, 8-bit text "%1" CR LF and four zero bytes.
# Usage: cmake -DFILE=.../MSG00409.bin -P message-table.cmake
file(READ ${FILE} bytes HEX)
set(expected "01000000010000400100004010000000" "0c000000" "25310d0a00000000")
string(JOIN "" expected ${expected})
if(NOT bytes STREQUAL expected)
  message(FATAL_ERROR "message table is ${bytes}, expected ${expected}")
endif()
message(STATUS "message table: 28 bytes as expected")
