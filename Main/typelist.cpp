#include "Main/typelist.h"

#include <array>

namespace typelist {

namespace {
// Types without a name of their own here are listed by their id, so the log still says which.
constexpr std::array<const char*, N_TYPES> names = {
    "KzifKey",              // 0
    "KzifChromaKey",        // 1
    "KzifBkgd",             // 2
    "KzifImage",            // 3
    "Type4",                // 4
    "KzifDsk",              // 5
    "Type6",                // 6
    "KzifUpStreamKey",      // 7
    "KzifUpStreamKeyAssign",// 8
    "Type9",                // 9
    "KzifClipPlay",         // 10
    "KzifClipRec",          // 11
    "KzifClipRegister",     // 12
    "KzifClipStatus",       // 13
    "Type14", "Type15", "Type16", "Type17", "Type18",
    "KzifKeyPreset",        // 19
    "Type20", "Type21",
    "KzifShotMemoryStatus", // 22
    "KzifStillMemory",      // 23
    "KzifStillStatus",      // 24
    "KzifControlPanelConfig",  // 25
    "KzifMainframeConfig",  // 26
    "KzifMaintenance",      // 27
    "KzifPeripheral",       // 28
    "KzifSystem",           // 29
    "Type30",
    "KzifGpiInOut",         // 31
    "Type32",
    "KzifCustomInfo",       // 33
    "KzifButtonInhibit",    // 34
    "KzifConfigMenuLock",   // 35
    "KzifOperate",          // 36
    "KzifSourceLink",       // 37
    "KzifXptAssign",        // 38
    "KzifSourceName",       // 39
    "KzifMultiView",        // 40
    "Type41", "Type42", "Type43",
    "KzifPlugin",           // 44
    "KzifPluginStatus",     // 45
    "Type46",
    "KzifBus",              // 47
    "KzifBusStatus",        // 48
    "KzifLed",              // 49
    "KzifMeLed",            // 50
    "Type51",
    "KzifBusTally",         // 52
    "KzifSourceTally",      // 53
    "KzifInitialStatus",    // 54
    "Type55",
    "KzifTest",             // 56
    "Type57", "Type58", "Type59",
    "KzifPluginStorage",    // 60
    "KzifGpiInStatus",      // 61
    "Type62", "Type63", "Type64", "Type65",
    "KzifStillMemoryCmd",   // 66
    "KzifClipPlayCmd",      // 67
    "KzifClipRecCmd",       // 68
    "KzifMaintenanceCmd",   // 69
    "Type70", "Type71",
    "KzifInitialize",       // 72
    "Type73",
    "KzifKeyCmd",           // 74
    "KzifChromaKeyCmd",     // 75
    "KzifPluginCmd",        // 76
    "Type77", "Type78",
    "KzifClipRegisterCmd",  // 79
    "Type80",
    "KzifGpiCmd",           // 81
    "Type82", "Type83", "Type84", "Type85", "Type86", "Type87",
    "KzifPluginActionCmd",  // 88
    "Type89", "Type90", "Type91",
    "KzifButtonEvent",      // 92
    "KzifFaderEvent",       // 93
    "Type94", "Type95", "Type96", "Type97", "Type98", "Type99", "Type100", "Type101",
};

constexpr bool everyIdNamed() {
  for (const char* n : names)
    if (n == nullptr) return false;
  return true;
}
static_assert(everyIdNamed(), "one name per type id");
}  // namespace

const char* typeName(int id) {
  if (id < 0 || id >= N_TYPES) return "Unknown";
  return names[static_cast<std::size_t>(id)];
}

}  // namespace typelist
