// The genlock option of the reference input: 220 turns it on, 0 off.
#pragma once

void setGenlockOption(int value);
