// The package's fixed paths, names and tuning values.
#include "utils.h"

namespace VIREO {
namespace PAPERLENS {

const char* const SZF_INDEX_QUEUE_WORKING = "/var/packages/Paperlens/target/index/queue_working";
const char* const SZF_INDEX_QUEUE_DIR = "/var/packages/Paperlens/target/index/";
const char* const SZF_INDEX_QUEUE = "/var/packages/Paperlens/target/index/queue";
const char* const SZF_INDEX_CONFIG = "/var/packages/Paperlens/etc/index.json";
const char* const SZF_INDEX_DAEMON = "/var/packages/Paperlens/target/daemon/paperlensd";
const char* const SZF_ENABLE_INDEX = "/var/packages/Paperlens/etc/enable_index";
const char* const SZF_PIDPATH = "/var/run/paperlensd.pid";
const char* const SZF_UDC_PATH = "/usr/vireo/etc/user.data/paperlens";
const char* const SZ_ANONYMOUS_USER = "guest";
const char* const SZ_TYPE_VIEW = "View Document";
const char* const SZF_SUPPORT_FILE_TYPES =
    "pdf,odm,odt,ott,sxw,stw,fodt,docx,docm,dotx,dotm,doc,dot,wps,rtf,odc,ods,ots,sxc,stc,fods,"
    "xlsx,xlsm,xltm,xltx,xlsb,xls,xlc,xlm,xlw,xlk,xlt,odp,otp,sti,sxd,fodp,pptx,pptm,ppsx,potm,"
    "potx,ppt,pps,pot,odg,otg,sxd,std,cdr,cmx,vdx,vsd,vsdm,vsdx,epub,mobi";
const char* const SZK_THUMB_PDF_TYPE = "VIREOLENS_THUMB.pdf";
const char* const SZK_THUMB_TYPE = "VIREOLENS_THUMB.png";
const char* const SZF_COVERT_TARGET_DIR = "/Paperlens/@tmp/target/";
const char* const SZF_COVERT_SOURCE_DIR = "/Paperlens/@tmp/source/";
const char* const SZF_DOCKER_DIR = "/docker/@tmp";
const char* const SZF_THIRD_PARTY_DB_PATH = "/var/packages/Paperlens/etc/third_party_convert.db";
const char* const SZF_CACHE_DB_PATH = "/var/packages/Paperlens/etc/cache.db";
const char* const SZF_THUMB_DB_PATH = "/var/packages/Paperlens/etc/thumb.db";
const char* const SZF_CONFIG_PATH = "/var/packages/Paperlens/etc/config";

const int LOCK_TIMEOUT_SECS = 5;
const int USLEEP_TIME = 500000;
const int PARALLEL_COUNT = 1;
const int MAX_MEMORY_COUNT = 367001600;
const int MAX_USING_COUNT = 0;
const int HOME_LENGTH = 6;

}  // namespace PAPERLENS
}  // namespace VIREO
