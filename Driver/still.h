// Frame memory of the four stills (KZ_STILL_1 + 2n, n 0..3): the capture sequence that writes
// the incoming video into a still, and how each still is played out. The setters record into the
// still image; kzUpdate steps the capture sequence once per field. Nothing is written to the FPGA
// blocks: the frame-memory registers have no known place in them on this board.
#pragma once
#include <array>

#include "Lib/Include/kz_types.h"

// Destination 0 (no capture target: a running sequence is abandoned) or a still id: makes that
// still the capture target with the option (stored as 0 or 1) and starts the capture sequence,
// which ends STILL_CAPTURE_FIELDS fields later with the still marked as holding a picture.
void setStillCapture(int destination, int option);
// The mode (0 or 1) the still is played out with.
void setStillMode(int stillId, int mode);
// 1: the still is played out with the fixed monitor setting instead of its own.
void setStillEnable(int stillId, int enable);
// No still holds a picture any more.
void clearStillMemory();

namespace kz {

constexpr int N_STILLS = 4;
constexpr int NO_CAPTURE = -1;
// Fields from setStillCapture to the still holding its picture.
constexpr int STILL_CAPTURE_FIELDS = 3;

struct StillImage {
  std::array<u8, N_STILLS> mode;
  std::array<u8, N_STILLS> enable;
  std::array<u8, N_STILLS> holdsPicture;
  int captureTarget;  // still index 0..3, NO_CAPTURE when none
  u8 captureOption;
  int captureFieldsLeft;
  bool operator==(const StillImage&) const = default;
};

const StillImage& stillImage();
// Inside the driver layer: power-on state, and one field of the capture sequence.
void resetStillImage();
void stepStillCapture();

}  // namespace kz
