// The video format codes (0..11) of the system settings and how each one counts fields and
// frames: which are interlaced, which run a whole frame in every field, which stills survive a
// change between them, and in which fields panel events are handled.
#pragma once
#include "Lib/Include/kz_types.h"

constexpr int VIDEO_FORMAT_LAST = 11;

// Interlaced 1080 formats: two fields make a frame.
constexpr bool isInterlacedFormat(int format) { return format == 2 || format == 3 || format == 8 || format == 9; }
// The 720-line formats: every field is a frame of its own, and every field counts as a second one.
constexpr bool is720Format(int format) { return format == 4 || format == 5; }
// Formats in which a frame passes in every field: the 720-line ones and codes 10 and 11.
constexpr bool isFrameEveryFieldFormat(int format) { return is720Format(format) || format == 10 || format == 11; }
// The standard-definition formats, 525 and 625 lines, coloured by the SD matrix.
constexpr bool isStandardDefinitionFormat(int format) { return format == 6 || format == 7; }

// Formats of one group share their stills: a change within the group keeps them.
constexpr int formatGroup(int format) {
  switch (format) {
    case 0: case 1: case 2: case 3: case 8: case 9: return 0;
    case 4: case 5: return 1;
    case 6: return 2;
    case 7: return 3;
    case 10: case 11: return 4;
    default: return 5;
  }
}

// How many frames one field cycle advances a frame-counted transition: 1 where a frame passes
// in every field, 1 in field one and 0 in the other of interlaced formats, else 0.5.
constexpr f32 framesPerField(int format, bool fieldOne) {
  if (isFrameEveryFieldFormat(format)) return 1.0f;
  if (isInterlacedFormat(format)) return fieldOne ? 1.0f : 0.0f;
  return 0.5f;
}

// Whether panel events may be handled in a field of parity `parity`: in the first field of an
// interlaced frame, in every field of the 720-line formats, else in the field that fieldSelect
// names (0 any, 1 the first, any other value the second).
constexpr bool panelEventsInField(int format, int fieldSelect, int parity) {
  if (isInterlacedFormat(format)) return parity == 0;
  if (is720Format(format)) return true;
  if (fieldSelect == 1) return parity == 0;
  if (fieldSelect != 0) return parity == 1;
  return true;
}
