#include "Driver/genlock.h"

#include "Driver/trace.h"

// The option has no known register in the FPGA blocks: the call is traced only.
void setGenlockOption(int value) { trace::call("setGenlockOption", value); }
