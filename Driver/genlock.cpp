#include "Driver/genlock.h"

#include "Driver/trace.h"

namespace {
int option = 0;
}

void setGenlockOption(int value) {
  trace::call("setGenlockOption", value);
  option = value;
}

int genlockOption() { return option; }
