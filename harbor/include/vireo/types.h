// Basic types and values shared by the platform's C interfaces.
#ifndef HARBOR_VIREO_TYPES_H_
#define HARBOR_VIREO_TYPES_H_

#include <sys/types.h>

#ifndef BOOL
typedef int BOOL;
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Result of platform calls that report an error code; 0 is success.
#define ERR_SUCCESS 0

// "Leave unchanged" for owner arguments.
#define UID_ERR ((uid_t)-1)
#define GID_ERR ((gid_t)-1)

// Platform error codes recorded with VLIBCErrSetEx and read back with VLIBCErrGet.
#define ERR_NONE 0x0000
#define ERR_BAD_PARAMETERS 0x0100
#define ERR_OUT_OF_MEMORY 0x0200
#define ERR_NOT_FOUND 0x0300
#define ERR_OPEN_FAILED 0x0400
#define ERR_LOCK_TIMEOUT 0x0500
#define ERR_LOCK_FAILED 0x0600
#define ERR_READ_FAILED 0x0700
#define ERR_WRITE_FAILED 0x0800
#define ERR_APPEND_FAILED 0x0900
#define ERR_EXEC_FAILED 0x0A00
#define ERR_PERMISSION 0x0B00

#endif  // HARBOR_VIREO_TYPES_H_
