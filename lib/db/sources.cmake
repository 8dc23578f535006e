# The SQLite base and the databases (included by lib/CMakeLists.txt).
list(APPEND PAPERLENS_SOURCES db/TaskDB.cc db/ThirdPartyConvertDB.cc)

# BaseDB.h is header-only and public: whatever includes it (the library's headers TaskDB.h,
# ThirdPartyConvertDB.h and cache_manager.h among them) calls SQLite itself.
cmake_language(DEFER CALL target_link_libraries paperlens PUBLIC SQLite::SQLite3)

paperlens_add_test(base_db_test APPLIANCE
  SOURCES db/BaseDB_test.cc
  LIBS paperlens)
paperlens_add_test(task_db_test APPLIANCE
  SOURCES db/TaskDB_test.cc
  LIBS paperlens)
paperlens_add_test(third_party_convert_db_test APPLIANCE
  SOURCES db/ThirdPartyConvertDB_test.cc
  LIBS paperlens)
