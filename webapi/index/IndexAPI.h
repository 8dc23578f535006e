// The handlers of VIREO.Paperlens.Index (version 1), reached by administrators only:
//   "set"      IndexSet      adds a folder to the index or changes what is made for it
//   "list"     IndexList     the indexed folders, each with "processing", "finished" or "error"
//   "delete"   IndexDelete   removes folders (and their generated files) from the index
//   "reindex"  IndexReindex  queues folders for another scan
#ifndef PAPERLENS_WEBAPI_INDEX_INDEXAPI_H_
#define PAPERLENS_WEBAPI_INDEX_INDEXAPI_H_

#include <set>
#include <string>

#include "config_manager.h"
#include "index/DocAPI.h"
#include "path.h"

class IndexBase : public DocAPI {
 public:
  IndexBase(VIREO::APIRequest* request, VIREO::APIResponse* response);

 protected:
  VIREO::PAPERLENS::ConfigManager indexConfig;  // SZF_INDEX_CONFIG, 5 s lock timeout
};

class IndexList : public IndexBase {
 public:
  using IndexBase::IndexBase;
  bool Execute() override;
};

class IndexSet : public IndexBase {
 public:
  // Takes "id" (-1 when absent), "enable_thumbnail" and "enable_preconvert" (false when absent).
  IndexSet(VIREO::APIRequest* request, VIREO::APIResponse* response);
  // 400 "cannot both empty" / "invalid path".
  bool ParseParams() override;
  // Updates the item with this id, or adds one; 1050 "duplicate" for a path another item has.
  bool Execute() override;
  // Registers the folders with the monitor, switches indexing on, starts the daemon and queues
  // a scan of the folder; 117 (null, or the failure's text) when one of these fails.
  bool FormOutput() override;

  VIREO::PAPERLENS::path::Path path;
  int id;
  bool enableThumbnail;
  bool enablePreconvert;
};

// The integer members of the request's "ids".
std::set<int> IdsOf(const VIREO::APIRequest* request);

class IndexDelete : public IndexBase {
 public:
  using IndexBase::IndexBase;
  bool ParseParams() override;
  // Drops the items, queues the removal of their generated files, and switches indexing off
  // with the last one; 117 with the text when the monitor or the daemon cannot be told.
  bool Execute() override;

  std::set<int> ids;
};

class IndexReindex : public IndexBase {
 public:
  using IndexBase::IndexBase;
  bool ParseParams() override;
  // Queues a scan of each listed folder that is valid; 117 when the queue cannot be written.
  bool Execute() override;

  std::set<int> ids;
};

extern "C" const void* GetAPITable();
extern "C" const void* GetAPICheckTable();

#endif  // PAPERLENS_WEBAPI_INDEX_INDEXAPI_H_
