// Small record parts that several features share: the time stamp and the media command header.
#pragma once
#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"

// Six u16 (year, month, day, hour, minute, second); on the wire high byte first.
struct TimeStamp {
  u16 year;
  u16 month;
  u16 day;
  u16 hour;
  u16 minute;
  u16 second;
  static constexpr auto wire() {
    using R = TimeStamp;
    return rec::list(rec::plain(&R::year), rec::plain(&R::month), rec::plain(&R::day), rec::plain(&R::hour),
                     rec::plain(&R::minute), rec::plain(&R::second));
  }
};
static_assert(sizeof(TimeStamp) == 12);

inline bool readTimeStamp(rec::WireReader& r, TimeStamp& t) { return rec::decode(r, t); }
inline void writeTimeStamp(rec::WireWriter& w, const TimeStamp& t) { rec::encode(w, t); }

// Head of every still and clip command; the reply is the command sent back with result set
// (0 done, negative a failure).
struct MediaCommandHeader {
  u8 tag0;
  u8 tag1;
  u16 command;
  i16 result;
  static constexpr auto wire() {
    using R = MediaCommandHeader;
    return rec::list(rec::plain(&R::tag0), rec::plain(&R::tag1), rec::plain(&R::command), rec::plain(&R::result));
  }
};
static_assert(sizeof(MediaCommandHeader) == 6);
