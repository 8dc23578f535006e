// The platform SDK: shares, users and groups, EA directories, ACL permissions, file copy,
// directories and file-system classification.
//
// Records returned through out-pointers are allocated by the SDK and released with the
// matching Free call. Functions are safe across threads unless noted.
#ifndef HARBOR_VIREO_SDK_H_
#define HARBOR_VIREO_SDK_H_

#include <stddef.h>
#include <sys/types.h>

#include "vireo/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Shares --------------------------------------------------------------------------------

// The share registry: a JSON object mapping share names to
// {"path": "/volumeN/name", "status": flags, "download_disabled": 0 or 1, "comment": "..."}.
#define VIREO_SHARE_REGISTRY "/usr/vireo/etc/shares.json"
// The per-user home share (resolved to the user's home directory, not through the registry).
#define VIREO_HOME_SHARE_NAME "home"

// Status flags of a share.
#define SHARE_STATUS_READONLY 0x0001
#define SHARE_STATUS_HIDDEN 0x0002
#define SHARE_STATUS_MEGAVAULT 0x8000

typedef struct _tag_VIREOSHARE {
  char* szName;
  char* szPath;  // the share's folder on its volume, e.g. /volume1/docs
  char* szComment;
  unsigned int fStatus;
  int iDownloadDisabled;  // 0 when downloads are allowed
} VIREOSHARE, *PVIREOSHARE;

// Looks a share up by name (case-sensitive). 0 on success with *share set; -1 when the name is
// empty, holds a "/", is unknown, or the registry cannot be read.
int VIREOShareGet(const char* name, PVIREOSHARE* share);
void VIREOShareFree(PVIREOSHARE share);
// The share whose folder holds `path` (an absolute real path): the registry entry whose folder
// is `path` itself or a leading run of its components, the longest one when shares nest. 0 with
// *share set; -1 when no share holds the path or the registry cannot be read.
int VIREOShareGetByPath(const char* path, PVIREOSHARE* share);
// Non-zero when the path lies in a share's recycle bin (a "#recycle" folder at the share root).
int VIREOShareIsShareRecycle(const char* path);

// ---- Users and groups ----------------------------------------------------------------------

typedef struct _tag_VIREOUSER {
  char* szName;  // canonical account name
  unsigned int uid;
  unsigned int gid;  // primary group
  char* szHome;
  char* szShell;
} VIREOUSER, *PVIREOUSER;

typedef struct _tag_VIREOGROUP {
  char* szName;
  unsigned int gid;
  int nMember;
  char** rgszMember;  // member names (secondary memberships)
} VIREOGROUP, *PVIREOGROUP;

// 0 when found (*user set); -1 when there is no such user; -2 on other errors. Local account
// names match without regard to case; the record carries the canonical name.
int VIREOUserGet(const char* name, PVIREOUSER* user);
int VIREOUserGetByUID(unsigned int uid, PVIREOUSER* user);
void VIREOUserFree(PVIREOUSER user);
// Converts the forms a user may type into the login name: "user@dns.domain" becomes
// "dns.domain\user". Returns 1 when the buffer holds a converted name, 0 when the name needs no
// conversion, -1 on bad arguments or a name that does not fit.
int VIREOUserLoginNameConvert(const char* name, char* buf, int size);
// "dns.domain\user" becomes "DNS\user" (the first label, upper-cased). Returns 1 when converted,
// 0 when the name is already in NetBIOS form or has no domain, -1 on bad arguments.
int VIREOWinsUserNameFqdn2Netbios(const char* name, char* buf, int size, int flags);

// 0 when found.
int VIREOGroupGetGID(const char* name, unsigned int* gid);
int VIREOGroupGetByGID(unsigned int gid, PVIREOGROUP* group);
int VIREOGroupGet(const char* name, PVIREOGROUP* group);
void VIREOGroupFree(PVIREOGROUP group);

// ---- EA directories ------------------------------------------------------------------------
// A file /d/f keeps its streams in the directory /d/@eaDir/f; stream S is /d/@eaDir/f/S.

#define VIREO_EA_DIR_NAME "@eaDir"

// The EA directory of `path` into buf. 0 on success; -1 for a path that is not absolute, ends
// in "/", or does not fit.
int VIREOEADirPath(int flags, const char* path, char* buf, size_t size);
// The path of stream `type` of `path` into buf (an empty type gives the EA directory followed
// by "/"). 0 on success, negative on failure (as VIREOEADirPath, or a type holding "/").
int VIREOEAPath(int flags, const char* path, const char* type, char* buf, size_t size, int flags2);
// Creates an EA directory (with `recursive` non-zero also its missing parents, and the
// @eaDir folder itself), owned by the caller, mode 0755. 0 on success (also when it exists).
int VIREOEAMKDir(int recursive, const char* dir);
// 1 when the path is or lies inside an @eaDir directory.
int VIREOEAIsHiddenDir(const char* path);

// ---- Permissions ---------------------------------------------------------------------------

#define VIREO_PERM_READ 0x4
#define VIREO_PERM_WRITE 0x2
#define VIREO_PERM_EXEC 0x1

// The effective permission mask of the path for the calling process's effective credentials,
// as the kernel decides it (mode bits and POSIX ACLs). 0 on success; -1 when the path cannot
// be reached (does not exist, or a folder on the way cannot be searched).
int VIREOACLPermGet(const char* path, unsigned int* mask);

// ---- Files and folders ---------------------------------------------------------------------

// Options of VIREOFileCopy: 80 bytes, all zero but the first two fields.
typedef struct _tag_VIREOFILECOPYOPT {
  int iVersion;  // 1
  int blMove;    // 1 to move (rename, or copy and unlink across volumes), 0 to copy
  char reserved[72];
} VIREOFILECOPYOPT, *PVIREOFILECOPYOPT;

// Copies or moves a regular file. The target is replaced atomically (never seen half-written);
// a copy keeps the source's mode. 0 on success, -1 on failure with errno set.
int VIREOFileCopy(const char* src, const char* dst, const VIREOFILECOPYOPT* opt);

// mkdir of `path` (with `recursive`, its missing parents too) with `mode`; a new folder is
// given `uid`/`gid` unless they are UID_ERR/GID_ERR. `refPath` is ignored. ERR_SUCCESS when the
// folder exists afterwards.
int VIREOFSMkdirP(const char* path, const char* refPath, BOOL recursive, uid_t uid, gid_t gid,
                  mode_t mode);

// ---- File systems --------------------------------------------------------------------------

enum {
  VIREO_FS_UNKNOWN = 0,
  VIREO_FS_EXT4 = 1,
  VIREO_FS_BTRFS = 2,
  VIREO_FS_XFS = 3,
  VIREO_FS_TMPFS = 4,
  VIREO_FS_VFAT = 5,
  VIREO_FS_NTFS = 6,
  VIREO_FS_NFS = 7,
  VIREO_FS_CIFS = 8,
  VIREO_FS_ISO9660 = 9,
  VIREO_FS_UDF = 10,
  VIREO_FS_SQUASHFS = 11,
  VIREO_FS_PSEUDO = 12,  // proc, sysfs, devtmpfs and the like
  VIREO_FS_FUSE = 13,
};

// The file-system type code of the path, -1 when it cannot be examined.
int VIREOGetFSType(const char* path, int flags);
// Non-zero for network file systems (NFS, CIFS).
int VIREOFSIsRemoteFS(int type);
// Non-zero for mounted disc images (ISO 9660, UDF, squashfs).
int VIREOFSIsImageFS(int type);

#ifdef __cplusplus
}
#endif

#endif  // HARBOR_VIREO_SDK_H_
