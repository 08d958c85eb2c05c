# vantelo_add_test(NAME LABEL label TIMEOUT seconds
#                  [LIBRARIES lib...] [COMMAND command...]
#                  [OFFSCREEN] [SKIP_RETURN_CODE code])
#
# One ctest test. Without COMMAND it builds the program NAME from NAME.cpp in
# the calling folder, linked with LIBRARIES, and runs it; with COMMAND it runs
# that (the scripts). OFFSCREEN runs it on Qt's offscreen platform and
# without a system bus, for the windows' tests: a test that needs a bus
# starts a private one. SKIP_RETURN_CODE is the exit code that means
# "skipped" (77 for a test whose tool or feature is missing).
function(vantelo_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "OFFSCREEN" "LABEL;TIMEOUT;SKIP_RETURN_CODE"
    "LIBRARIES;COMMAND")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_LABEL OR NOT arg_TIMEOUT)
    message(FATAL_ERROR "vantelo_add_test(${name}): LABEL and TIMEOUT, and nothing else unnamed")
  endif()
  if(arg_COMMAND)
    add_test(NAME ${name} COMMAND ${arg_COMMAND})
  else()
    add_executable(${name} ${name}.cpp)
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES})
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${arg_TIMEOUT} LABELS ${arg_LABEL})
  if(arg_OFFSCREEN)
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent")
  endif()
  if(DEFINED arg_SKIP_RETURN_CODE)
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${arg_SKIP_RETURN_CODE})
  endif()
endfunction()
