# paperlens_add_test(NAME SOURCES ... [LIBS ...] [APPLIANCE] [LABELS ...] [TIMEOUT s])
#
# Builds a GoogleTest program and registers it with CTest. APPLIANCE tests run inside a fresh
# appliance sandbox (root, demo users, shares, fixed paths); the others run on the host as they are.
function(paperlens_add_test name)
  cmake_parse_arguments(T "APPLIANCE" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(T_APPLIANCE)
    add_test(NAME ${name}
             COMMAND ${APPLIANCE} run --build ${CMAKE_BINARY_DIR} -- $<TARGET_FILE:${name}>)
    list(APPEND T_LABELS appliance)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
