// VIREO.Folium.so: the PDF viewer's web-API plug-in. Its method and check tables, in the
// order the server expects them.
#include "folium/PDFOp.h"
#include "folium/Sharing.h"
#include "frame/APIFrame.h"

namespace frame = VIREO::PAPERLENS::frame;

namespace {

constexpr char kFolium[] = "VIREO.Folium";
constexpr char kSharing[] = "VIREO.Folium.Sharing";
constexpr char kPath[] = "path";

const frame::APIMethodRow kMethods[] = {
    {kFolium, 1, "get", &FoliumEntry<PDFGet>},
    {kFolium, 1, "get_perm", &FoliumEntry<PDFGetPerm>},
    {kFolium, 1, "download", &FoliumEntry<PDFDownload>},
    {kFolium, 1, "print", &FoliumEntry<PDFPrint>},
    {kSharing, 1, "set", &FoliumEntry<SharingSet>},
    {kSharing, 1, "list", &FoliumEntry<SharingList>},
    {kSharing, 1, "trigger_gc", &FoliumEntry<SharingTriggerGC>},
    {nullptr, 0, nullptr, nullptr},
};

const frame::APICheckRow kChecks[] = {
    {kFolium, 1, "download", &frame::CheckStringParam<kPath>, 0, 0},
    {kFolium, 1, "print", &frame::CheckStringParam<kPath>, 0, 0},
    {kFolium, 1, "get_perm", &frame::CheckStringParam<kPath>, 0, 0},
    {kFolium, 1, "get", &frame::CheckStringParam<kPath>, 0, 0},
    {kSharing, 1, "set", &CheckSharingSet, 0, 0},
    {kSharing, 1, "list", &frame::CheckNothing, 0, 0},
    {kSharing, 1, "trigger_gc", &CheckSharingTriggerGC, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0},
};

}  // namespace

extern "C" const void* GetAPITable() { return kMethods; }
extern "C" const void* GetAPICheckTable() { return kChecks; }
