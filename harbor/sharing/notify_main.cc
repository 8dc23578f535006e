// vireoharbornotify: stores a desktop notification for one user.
//
//   vireoharbornotify -e <urgent: true|false> -c <application> <user> <title key> <message key>
//                     <from> <text> [<argument>...]
//
// Exits 0 once stored; 1 with a message on standard error for bad arguments, an unknown user
// or a store failure.
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include "notifications.h"

int main(int argc, char** argv) {
  if (argc < 10 || strcmp(argv[1], "-e") != 0 || strcmp(argv[3], "-c") != 0) {
    fprintf(stderr, "usage: %s -e true|false -c APP USER TITLE MESSAGE FROM TEXT [ARG...]\n",
            argv[0]);
    return 1;
  }
  Json::Value item(Json::objectValue);
  item["time"] = static_cast<Json::Int64>(time(nullptr));
  item["urgent"] = strcmp(argv[2], "true") == 0;
  item["app"] = argv[4];
  item["title"] = argv[6];
  item["message"] = argv[7];
  item["from"] = argv[8];
  item["text"] = argv[9];
  Json::Value args(Json::arrayValue);
  for (int i = 10; i < argc; ++i) args.append(argv[i]);
  item["args"] = args;
  if (!VIREO::notification::Append(argv[5], item)) {
    fprintf(stderr, "%s: cannot notify %s\n", argv[0], argv[5]);
    return 1;
  }
  return 0;
}
