#include "Main/main.h"

#include "Amp/config.h"
#include "Common/lock.h"
#include "Common/log.h"
#include "Common/shared.h"
#include "Driver/kz.h"
#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/chrkey.h"
#include "Main/buttoninhibit.h"
#include "Main/clip.h"
#include "Main/dsk.h"
#include "Main/faderevent.h"
#include "Main/gpi.h"
#include "Main/image.h"
#include "Main/buttonevent.h"
#include "Main/initialize.h"
#include "Main/cp_config.h"
#include "Main/custominfo.h"
#include "Main/initial_status.h"
#include "Main/menulock.h"
#include "Main/inputvideo.h"
#include "Main/key.h"
#include "Main/keypreset.h"
#include "Main/led.h"
#include "Main/macro.h"
#include "Main/maintenance.h"
#include "Main/mf_config.h"
#include "Main/multiview.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/plugin.h"
#include "Main/shotmem.h"
#include "Main/sourcelink.h"
#include "Main/sourcename.h"
#include "Main/stillmemory.h"
#include "Main/system.h"
#include "Main/tally.h"
#include "Main/testmode.h"
#include "Main/transition.h"
#include "Main/usk.h"
#include "Main/xpt.h"
#include "Platform/platform.h"

namespace {

bool timerTaskStarted_ = false;
bool haveLastVsync = false;
u64 lastVsyncTicks = 0;
u64 lastPeriodUs = 0;
u64 nominalPeriodUs = 0;

// Every category, one function-local static per feature, in ascending type id order.
void createCategories() {
  initCategoryKey();              // 0
  initCategoryChromaKey();        // 1
  initCategoryBkgd();             // 2
  initCategoryImage();            // 3
  initCategoryDsk();              // 5
  initCategoryUpStreamKey();      // 7
  initCategoryUpStreamKeyAssign(); // 8
  initCategoryClipPlay();         // 10
  initCategoryClipRec();          // 11
  initCategoryClipRegister();     // 12
  initCategoryClipStatus();       // 13
  initCategoryKeyPreset();        // 19
  initCategoryShotMemoryStatus(); // 22
  initCategoryStillMemory();      // 23
  initCategoryStillStatus();      // 24
  initCategoryControlPanelConfig(); // 25
  initCategoryMainframeConfig();  // 26
  initCategoryMaintenance();      // 27
  initCategoryPeripheral();       // 28
  initCategorySystem();           // 29
  initCategoryGpiInOut();         // 31
  initCategoryCustomInfo();       // 33
  initCategoryButtonInhibit();    // 34
  initCategoryConfigMenuLock();   // 35
  initCategoryOperate();          // 36
  initCategorySourceLink();       // 37
  initCategoryXpt();              // 38
  initCategoryButtonSourceName(); // 39
  initCategoryMultiView();        // 40
  initCategoryPlugin();           // 44
  initCategoryPluginStatus();     // 45
  initCategoryBus();              // 47
  initCategoryBusStatus();        // 48
  initCategoryLed();              // 49
  initCategoryMeLed();            // 50
  initCategoryBusTally();         // 52
  initCategorySourceTally();      // 53
  initCategoryInitialStatus();    // 54
  initCategoryTest();             // 56
  initCategoryInitialize();       // 72
  initCategoryButtonEvent();      // 92
  initCategoryFaderEvent();       // 93
}

// The features without a type id of their own are not reached by BP's start. On the board they
// are fresh at every power-on anyway; a power cycle of the host stand-in, which keeps the process
// and its statics, must leave them just as fresh.
void resetUnregisteredFeatures() {
  category::CategoryMacro::get().clear();
  category::CategoryInputVideo::get().clear();
  category::CategoryExtendedDisplay::get().clear();
  category::CategoryTransitionStatus::get().clear();
}

void tryStartupLock() {
  Lock startup;
  startup.lock(orvane::STARTUP_LOCK, true);
  if (!startup.held()) return;
  startup.unlock();
  timerTaskStarted_ = true;
  libkz::getLogger().printf(libkz::LOG_INFO, "Start Timer task");
}

void writeTimingLog(u32 addr, u32 value) {
  if (volatile u32* w = platform::ocmWord(addr)) *w = value;
}

void fieldCycle() {
  const u64 begin = platform::globalTimer();
  BP::instance().onField();
  writeTimingLog(platform::OCM_TIMING_LOG1, static_cast<u32>((platform::globalTimer() - begin) / platform::TIMER_TICKS_PER_US));
}

}  // namespace

namespace orvane {

void boot() {
  amp::powerOn();
  libkz::getLogger().printf(libkz::LOG_INFO, "Start Orvane Backend Process");
  SystemManagerRing::receive().resetConnection();
  BP::instance();
  resetUnregisteredFeatures();
  createCategories();
  BP::instance().start();
  timerTaskStarted_ = false;
  haveLastVsync = false;
  lastVsyncTicks = 0;
  lastPeriodUs = 0;
  nominalPeriodUs = 0;
  platform::registerInterrupt(platform::IRQ_VSYNC, vsyncInterrupt);
  tryStartupLock();
}

void mainLoopPass() {
  if (!timerTaskStarted_) {
    tryStartupLock();
    return;
  }
  if (volatile u32* jump = platform::ocmWord(platform::OCM_JUMP_REQUEST); jump && *jump != 0) {
    const u32 addr = *jump;
    *jump = 0;
    platform::jumpTo(addr);
  }
  BP::instance().tickAll();
}

bool timerTaskStarted() { return timerTaskStarted_; }

void vsyncInterrupt() {
  // The nominal period is learnt from the VSYNCs themselves, so it follows whatever rate the
  // video format runs at; two agreeing periods that differ from it are a changed rate, one alone is
  // a lost (or extra) VSYNC.
  const u64 now = platform::globalTimer();
  if (haveLastVsync) {
    const u64 periodUs = (now - lastVsyncTicks) / platform::TIMER_TICKS_PER_US;
    auto apart = [](u64 a, u64 b) { return (a > b ? a - b : b - a) > VSYNC_TOLERANCE_US; };
    if (nominalPeriodUs == 0) {
      nominalPeriodUs = periodUs;
    } else if (apart(periodUs, nominalPeriodUs)) {
      if (lastPeriodUs != 0 && !apart(periodUs, lastPeriodUs)) {
        nominalPeriodUs = periodUs;
      } else {
        libkz::getLogger().printf(libkz::LOG_ERR, "Lost VSYNC %f ms", static_cast<double>(periodUs) / 1000.0);
      }
    }
    lastPeriodUs = periodUs;
    writeTimingLog(platform::OCM_TIMING_LOG0, static_cast<u32>(periodUs));
  }
  haveLastVsync = true;
  lastVsyncTicks = now;
  kzUpdate();
  category::CategorySystem::get().setFieldParity(static_cast<int>(platform::hardwareInputs().fieldParity));
  VsyncHold::runOrDefer(fieldCycle);
}

void run() {
  boot();
  for (;;) {
    platform::waitTicks(LOOP_PERIOD_US * platform::TIMER_TICKS_PER_US);
    mainLoopPass();
  }
}

}  // namespace orvane
