# The conversion cache (included by lib/CMakeLists.txt).
list(APPEND PAPERLENS_SOURCES cache/cache_manager.cc)

paperlens_add_test(cache_manager_test APPLIANCE
  SOURCES cache/cache_manager_test.cc
  LIBS paperlens testsupport)
