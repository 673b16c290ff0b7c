// The source positions (file, line) that assertion and log texts quote. The System Manager's
// logs and our own tools know these messages by them, so they are fixed here instead of being
// taken from wherever the code happens to sit today. Every text quoting a fixed position takes
// it from this table.
#pragma once

namespace positions {

// Category framework templates (Main/category.h), logged under the framework's header name.
inline constexpr const char* FRAMEWORK_SOURCE = "Main/bp.h";
inline constexpr int FRAMEWORK_IS_STATUS = 351;  // "isStatus": a status category over a command type id
inline constexpr int FRAMEWORK_CHANNEL = 424;    // "0 <= idx && idx < N_CHANNELS": channel index of a record

// Auto transition tables (Main/autotrans.h).
inline constexpr const char* AUTOTRANS_SOURCE = "Main/autotrans.h";
inline constexpr int AUTOTRANS_ME = 186;       // "0 <= me && me < N_ME"
inline constexpr int AUTOTRANS_CHANNEL = 187;  // "0 <= ch && ch < KzifKey::N_CHANNELS"

// Crosspoint assignment (Main/xpt.cpp): the panel check, wherever it is called from.
inline constexpr const char* XPT_SOURCE = "Main/xpt.cpp";
inline constexpr int XPT_PANEL = 287;  // "0 <= panel && panel < 3"

// Lamp code map (Lib/data_internal.cpp): a button code without a lamp.
inline constexpr const char* LAMP_MAP_SOURCE = "Lib/Include/data_internal";
inline constexpr int LAMP_MAP_UNMAPPED = 155;  // "NeverReachHere"

// Operation settings (Main/operate.cpp): "%s(%d)BAD Param.[0x%02X]" under its own source name.
inline constexpr int OPERATE_BUS_ROW_MODE = 552;         // busRowMode above 2
inline constexpr int OPERATE_BUS_ROW_MODE_SELECT = 533;  // busRowModeSelect above 1
inline constexpr int OPERATE_BUS_ROW_MODE_ME = 573;      // "(ME:%d)": busRowModeMe entry above 2

// Key presets (Main/keypreset.cpp): a panel selection for a panel outside 0..2.
inline constexpr const char* KEY_PRESET_SOURCE = "Main/keypreset";
inline constexpr int KEY_PRESET_PANEL = 854;  // "NeverReachHere"
// Bus selection (Main/bus.cpp): a bus-row button event handed to another M/E's buses.
inline constexpr const char* BUS_SOURCE = "Main/bus.cpp";
inline constexpr int BUS_BUTTON_ME = 460;  // "btn.getMe() == getME()"

}  // namespace positions
