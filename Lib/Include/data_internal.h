// Lamp code maps: panel button codes to the lamp indexes of the panel lamp records.
#pragma once

// Index of a button code's lamp in internal::KzifLed (lamps of no M/E row).
int ledCodeToIndex(int code);
// Index of a button code's lamp in internal::KzifMeLed (lamps of an M/E row).
int meLedCodeToIndex(int code);

constexpr int N_LED_INDEX = 350;
constexpr int N_ME_LED_INDEX = 309;
