// Record declarations. Every Kzif record is a plain struct laid out exactly as the backup image
// stores it (little-endian, padding included), plus one list of its fields in wire order:
//
//   struct KzifThing {
//     u32 mask; u8 me; u8 level; i16 angle; u8 gain[4]; rec::Text<12> name;
//     static constexpr auto wire() {
//       using R = KzifThing;
//       return rec::list(rec::mask(&R::mask), rec::me(&R::me),
//                        rec::field(0, &R::level, rec::range(0, 100)),
//                        rec::field(1, &R::angle, rec::range(-45, 45)),
//                        rec::elements(2, &R::gain, rec::range(0, 9)),   // bits 2..5
//                        rec::field(6, &R::name));
//     }
//   };
//
// From that list come the big-endian wire reader and writer (every value as wide as its member,
// no padding, in the order of the list whatever the order of the members), the masked merge with
// its range and value-list checks, the "every mask set" of a restore and the pending-change tests
// of the send pass. Field kinds:
//   mask(&R::m)          the record's (or sub-record's) mask: a u32, or u32[2] for more than 32
//                        bits (bit b in word b / 32)
//   me(&R::m), channel(&R::m)
//                        the M/E and channel bytes: read and written, never merged (the object's
//                        own values are stamped instead)
//   plain(&R::m[, boolean()])
//                        carried on the wire, never merged
//   field(bit, &R::m[, check])
//                        merged when mask bit `bit` is set and the value passes the check; a
//                        scalar, an array of scalars (each element checked and taken on its own;
//                        with whole(check) all of them or none; with wholeIf(fn) all of them
//                        when fn accepts the array as a whole) or a Text
//   each(c0, c1, ...)    one check per element of an array (hue, saturation and luminance, say)
//   elements(firstBit, &R::m[, check])
//                        an array of scalars or texts whose element i is merged when bit firstBit + i is
//                        set and its value passes the check; onlyFirst(n, check) takes elements
//                        0..n-1 only
//   sub(&R::m)           a nested record with a mask and a wire() of its own, or an array of them
// A declaration is checked when it is compiled: one mask per record and sub-record that has mask
// bits, every bit (each element's included) used once and inside the mask. A record without
// texts has a fixed wire body size, rec::wireSizeOf<R>(), which its header pins.
// merge(dst, src, Checks::Skip) takes the masked values without their checks (copies between
// records that were checked when they came in).
#pragma once
#include "Lib/Include/record_fields.h"
#include "Lib/Include/record_ops.h"
#include "Lib/Include/record_text.h"
#include "Lib/Include/record_wire.h"
