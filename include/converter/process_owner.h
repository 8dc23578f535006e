// Owner records: which process holds an entry of a shared state file (a pool job, a container
// slot, a conversion marker), so that entries left behind by a process that died can be told
// from live ones and reclaimed.
//
// A record is a JSON object {"pid": N, "start": T} where T is the process's start time (clock
// ticks since boot), which tells a live owner from another process that reused its pid.
#ifndef PAPERLENS_INCLUDE_CONVERTER_PROCESS_OWNER_H_
#define PAPERLENS_INCLUDE_CONVERTER_PROCESS_OWNER_H_

#include <json/json.h>
#include <sys/types.h>

namespace VIREO {
namespace PAPERLENS {
namespace owner {

// The calling process's record.
Json::Value Self();

// The record of process `pid`; null when it does not exist.
Json::Value Of(pid_t pid);

// True when `record` names the calling process.
bool IsSelf(const Json::Value& record);

// False only when `record` names a process that is known to be gone (or a pid now used by
// another process). A record without owner data (from before owners were kept) counts as alive:
// only the reset at package start clears those.
bool IsAlive(const Json::Value& record);

}  // namespace owner
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CONVERTER_PROCESS_OWNER_H_
