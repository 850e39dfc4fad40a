# Compares the dynamic symbols the product library defines with the list it
# must export: the Python module's entry point and the 19 C functions.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found)
foreach(line ${lines})
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  # Version nodes of the linker (an absolute symbol per node) are not code.
  if(line MATCHES " A ")
    continue()
  endif()
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected PyInit_velmarbrook vbk_bind_int vbk_bind_null vbk_bind_real vbk_bind_text
  vbk_clear_binds vbk_close vbk_col_count vbk_col_name vbk_exec vbk_exec_prepared vbk_finalize
  vbk_get_i64 vbk_get_str vbk_get_text vbk_last_error vbk_last_insert_id vbk_open vbk_prepare
  vbk_row_count)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ:\n  found:    ${found}\n  expected: ${expected}")
endif()
message(STATUS "exports: ${found}")
