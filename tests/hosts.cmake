# Hosts: the examples, the tool and the Python binding, through their own front doors.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(TARGET minimal)
  add_test(NAME example_minimal COMMAND minimal ${CMAKE_CURRENT_BINARY_DIR}/example-data)
  add_test(NAME example_policies COMMAND policies)
  set_tests_properties(example_minimal example_policies PROPERTIES TIMEOUT 300)
endif()
if(TARGET quilmarn-cron)
  add_test(NAME tool_import
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_import_test.py $<TARGET_FILE:quilmarn-cron>)
  add_test(NAME tool_cli
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_cli_test.py $<TARGET_FILE:quilmarn-cron>)
  add_test(NAME tool_files
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_files_test.py $<TARGET_FILE:quilmarn-cron>)
  add_test(NAME tool_runs
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_runs_test.py $<TARGET_FILE:quilmarn-cron>)
  add_test(NAME tool_daemon
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_daemon_test.py $<TARGET_FILE:quilmarn-cron>)
  add_test(NAME tool_http
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_http_test.py $<TARGET_FILE:quilmarn-cron>)
  add_test(NAME tool_limits
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_limits_test.py $<TARGET_FILE:quilmarn-cron>)
  add_test(NAME tool_entry
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tool_entry_test.py $<TARGET_FILE:quilmarn-cron>)
  set_tests_properties(tool_runs tool_daemon tool_limits tool_http tool_entry PROPERTIES TIMEOUT 600
    LABELS concurrency)
  find_program(QC_GROFF groff)
  if(QC_GROFF)
    add_test(NAME man_page COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/man_page_test.sh
      ${QC_MAN_PAGE} $<TARGET_FILE:quilmarn-cron>)
  endif()
endif()
# The binding's tests. Python can load a library built with AddressSanitizer
# only with the sanitizer's runtime preloaded (and its own allocations are
# no leak of ours); under ThreadSanitizer they are not run.
set(QC_PY_ENV "QUILMARN_CRONTAB_LIB=$<TARGET_FILE:quilmarn_crontab>"
  "PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python" "PYTHONDONTWRITEBYTECODE=1")
set(QC_PY_TEST ON)
if(QC_SANITIZE MATCHES "address")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE QC_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${QC_ASAN_RUNTIME}" AND EXISTS "${QC_ASAN_RUNTIME}")
    list(APPEND QC_PY_ENV "LD_PRELOAD=${QC_ASAN_RUNTIME}" "ASAN_OPTIONS=detect_leaks=0")
  else()
    set(QC_PY_TEST OFF)
  endif()
elseif(QC_SANITIZE)
  set(QC_PY_TEST OFF)
endif()
if(QC_PY_TEST)
  add_test(NAME python_binding
    COMMAND Python3::Interpreter -m unittest discover -s ${PROJECT_SOURCE_DIR}/bindings/python/tests)
  set_tests_properties(python_binding PROPERTIES TIMEOUT 600 ENVIRONMENT "${QC_PY_ENV}")
endif()
