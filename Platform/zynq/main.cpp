// The back-end image: start-up, then the 30 ms loop, with the field interrupt on.
#include "Main/main.h"
#include "Platform/zynq/zynq.h"

extern "C" int zynq_main() {
  zynq::enableInterrupts();
  orvane::run();
}
