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
endif()
