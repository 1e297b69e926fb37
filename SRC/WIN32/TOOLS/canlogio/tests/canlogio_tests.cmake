# canlogio: BLF files built byte by byte for the reader's edge cases, and
# every format written and read back.
ribex_add_gtest(canlogio_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/canlogio_blf_test.cpp ${CMAKE_CURRENT_LIST_DIR}/canlogio_roundtrip_test.cpp
  LIBS canlogio ${CANLOGIO_ZLIB}
  TIMEOUT 120)
target_include_directories(canlogio_test PRIVATE ${CANLOGIO_ZLIB_INCLUDE})
