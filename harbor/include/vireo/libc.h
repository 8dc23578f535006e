// The platform's core C library: process execution, file tests, inter-process file locks,
// pid files, the last-error state, key-value settings and small helpers.
//
// All functions are safe to call from several threads, except where noted. Paths are absolute.
#ifndef HARBOR_VIREO_LIBC_H_
#define HARBOR_VIREO_LIBC_H_

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "vireo/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Process execution ---------------------------------------------------------------------

// Option bits of VLIBCExecl. The usual word, 187, waits for the child with its standard
// streams on /dev/null, its descriptors closed and its signals reset.
#define VLIBC_EXEC_WAIT 0x01
#define VLIBC_EXEC_CLOSE_FDS 0x02
#define VLIBC_EXEC_NULL_STDIN 0x08
#define VLIBC_EXEC_NULL_STDOUT 0x10
#define VLIBC_EXEC_NULL_STDERR 0x20
#define VLIBC_EXEC_RESET_SIGNALS 0x80

// Runs `prog` with up to four arguments (NULL ends the list early) and waits for it.
// Returns -1 when it cannot run, else its exit status (128 + signal when it was killed).
// VLIBCExec and VLIBCExecv give the child /dev/null as input and the caller's standard error as
// its standard output, so a program's chatter never lands in a response body.
int VLIBCExec(const char* prog, const char* a1, const char* a2, const char* a3, const char* a4);

// Runs `prog` with the NULL-terminated arguments after `options` (argv[1] onwards).
// Returns 0 when the program ran and exited with status 0, non-zero otherwise.
int VLIBCExecl(const char* prog, int options, ...);

// Runs `prog` with the NULL-terminated vector `argv` (argv[0] included). With `wait` non-zero
// waits and returns the exit status (128 + signal when killed); negative when it cannot run.
// With `wait` zero returns the child's pid.
int VLIBCExecv(const char* prog, char* const argv[], int wait);

// Starts `prog` with the NULL-terminated arguments after `mode` (argv[1] onwards) and returns
// a stream of its standard output ("r") or input ("w"); NULL on failure. Close with VLIBCPclose,
// which waits and returns the exit status (-1 on failure).
FILE* VLIBCPopen(const char* prog, const char* mode, ...);
int VLIBCPclose(FILE* stream);

// Forks a child that nobody waits for (it is re-parented at once). Returns 0 in the child, a
// positive value in the parent, -1 on failure.
pid_t VLIBCProcForkChildNoWait(void);

// ---- Files ---------------------------------------------------------------------------------

// 1 when the path exists (a dangling symlink does not), 0 otherwise.
int VLIBCFileExist(const char* path);
// 1 when the path is a directory, 0 otherwise.
int VLIBCFileCheckDir(const char* path);
// Creates an empty file when missing; an existing file keeps its content. 0 on success.
int VLIBCFileTouch(const char* path);
// stat (follow != 0) or lstat of the path. 0 on success.
int VLIBCFileStat(const char* path, int follow, struct stat* st);

// Advisory inter-process lock on the file at `path` (created when missing): `mode` 0 shared,
// 1 exclusive. The lock belongs to the open file description stored in *fd, so two lock calls
// in one process exclude each other as two processes do. The descriptor is close-on-exec.
// VLIBCFileLockTimeByFile waits at most `seconds`; VLIBCFileLockByFile does not wait.
// Both return non-zero on success; on failure 0 with the last error set (ERR_LOCK_TIMEOUT,
// ERR_OPEN_FAILED, ERR_BAD_PARAMETERS) and *fd = -1.
int VLIBCFileLockTimeByFile(const char* path, int mode, int seconds, int* fd);
int VLIBCFileLockByFile(const char* path, int mode, int* fd);
// Releases the lock and closes the descriptor. -1 on failure.
int VLIBCFileUnlockByFile(int fd);

// ---- Processes and pid files ---------------------------------------------------------------

// The pid stored in the file, -1 when the file is missing or holds no pid.
pid_t VLIBCReadPidFile(const char* path);
// 1 when a process with that pid lives (a zombie does not count), 0 otherwise.
int VLIBCProcAlive(pid_t pid);
// Writes the caller's pid into the file (replacing it atomically). Negative on failure.
int VLIBCProcPidFileCreate(const char* path);

// ---- Settings ------------------------------------------------------------------------------

// Non-zero when the key=value settings file holds `key` with exactly `value` (quotes around
// the value are not part of it). `flags` 0 compares case-sensitively, 1 ignores case.
int VLIBCFileCheckKeyValue(const char* file, const char* key, const char* value, int flags);
// Copies the value of `key` into buf (NUL-terminated, cut to size-1). Returns its length,
// or -1 when the file or the key is missing.
int VLIBCFileGetKeyValue(const char* file, const char* key, char* buf, size_t size);
// Sets `key` to `value` in the settings file (created when missing), atomically. 0 on success.
int VLIBCFileSetKeyValue(const char* file, const char* key, const char* value);

// ---- Last error (per thread) ---------------------------------------------------------------

void VLIBCErrSetEx(int code, const char* file, int line);
int VLIBCErrGet(void);
const char* VLIBCErrorGetFile(void);
int VLIBCErrorGetLine(void);

// ---- Encoding ------------------------------------------------------------------------------

// Standard Base64 (with padding) of `len` bytes into out, NUL-terminated. Returns the length
// of the text, or -1 when `size` is too small (4 * ceil(len / 3) + 1 bytes are needed).
int VLIBCBase64SzEncodeFull(const unsigned char* in, size_t len, char* out, size_t size);

// ---- Snapshots -----------------------------------------------------------------------------

// *flag = 1 when the path lies in a snapshot ("#snapshot" or "@snapshot" component), else 0.
// 0 on success, -1 for a bad path.
int VLIBFhsPathInSnapshot(const char* path, int* flag);

// ---- Accounts (see vireo/sdk.h for records) ------------------------------------------------

// An ordered string hash: keys and values are owned by the hash.
typedef struct _tag_VLIBSZHASH {
  int nItem;
  int nAlloc;
  char** rgszKey;
  char** rgszValue;
} VLIBSZHASH, *PVLIBSZHASH;

// Canonical account name of a login name: an exact local account name. The appliance joins no
// directory service, so names of domain accounts ("DOMAIN\user") do not resolve.
// Returns the length written (>= 0) or -1 when no account matches.
int VLIBUserRealNameGet(const char* login, char* buf, int size);
// The groups of a user as a hash: key the group name, value its gid in decimal. The primary
// group comes first. `withPrimary` 1 includes the primary group. NULL when the user is unknown.
PVLIBSZHASH VLIBGroupInfoHashGet(const char* user, int withPrimary, int flags);
void VLIBCSzHashFree(PVLIBSZHASH hash);

#ifdef __cplusplus
}
#endif

#endif  // HARBOR_VIREO_LIBC_H_
