#include "converter/process_owner.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace VIREO {
namespace PAPERLENS {
namespace owner {

namespace {

// Field 22 of /proc/PID/stat (start time) and field 3 (state); false when there is no process.
bool ReadStat(pid_t pid, unsigned long long& start, char& state) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  // The command name (field 2) may hold spaces and parentheses: fields resume after the last ')'.
  size_t paren = line.rfind(')');
  if (paren == std::string::npos) return false;
  std::istringstream rest(line.substr(paren + 1));
  std::string field;
  rest >> state;
  // Fields 4 to 21, then the start time.
  for (int i = 4; i <= 21; ++i) rest >> field;
  rest >> start;
  return static_cast<bool>(rest);
}

}  // namespace

Json::Value Of(pid_t pid) {
  unsigned long long start = 0;
  char state = 0;
  if (!ReadStat(pid, start, state)) return Json::Value();
  Json::Value record(Json::objectValue);
  record["pid"] = static_cast<Json::Int>(pid);
  record["start"] = static_cast<Json::UInt64>(start);
  return record;
}

Json::Value Self() { return Of(getpid()); }

bool IsSelf(const Json::Value& record) {
  return record.isObject() && record["pid"].isIntegral() &&
         record["pid"].asInt() == static_cast<int>(getpid());
}

bool IsAlive(const Json::Value& record) {
  if (!record.isObject() || !record["pid"].isIntegral() || !record["start"].isIntegral()) {
    return true;
  }
  pid_t pid = record["pid"].asInt();
  if (pid <= 0) return true;
  unsigned long long start = 0;
  char state = 0;
  if (!ReadStat(pid, start, state)) return false;
  if (state == 'Z' || state == 'X') return false;
  return start == record["start"].asUInt64();
}

}  // namespace owner
}  // namespace PAPERLENS
}  // namespace VIREO
