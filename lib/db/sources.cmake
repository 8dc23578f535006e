# The SQLite base and the databases (included by lib/CMakeLists.txt).
list(APPEND PAPERLENS_SOURCES db/TaskDB.cc db/ThirdPartyConvertDB.cc)

paperlens_add_test(base_db_test APPLIANCE
  SOURCES db/BaseDB_test.cc
  LIBS paperlens testsupport)
paperlens_add_test(task_db_test APPLIANCE
  SOURCES db/TaskDB_test.cc
  LIBS paperlens testsupport)
paperlens_add_test(third_party_convert_db_test APPLIANCE
  SOURCES db/ThirdPartyConvertDB_test.cc
  LIBS paperlens testsupport)
