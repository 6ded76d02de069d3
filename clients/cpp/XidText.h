// The one XID reader of the command-line tools (morvalenctl, dtcctl): it
// takes every spelling any of them prints, so an XID copied from one tool's
// output can be given to another.
//
//   GTRID[:BQUAL]             each part text, or hexadecimal bytes after "0x";
//                             the format identifier is the caller's default
//                             (morvalenctl's --format, 19798 = 0x4D56 unless given)
//   FORMAT:0xGTRID:0xBQUAL    what morvalenctl recover prints
//   FORMAT:GTRIDHEX:BQUALHEX  what dtcctl list prints (hexadecimal without "0x")
//
// A text with exactly three parts whose first is a decimal number is read as
// FORMAT:GTRID:BQUAL, its other two parts as hexadecimal ("0x" optional, an
// empty part is no bytes); every other text as GTRID[:BQUAL], split at its
// first colon.
#pragma once

#include <cstdint>

#include "contract/xa.h"

namespace morvalen {

// Reads text into *out. False, with *out the null XID (format identifier -1),
// when it is none of the spellings above, a part is longer than 64 bytes, a
// hexadecimal part is malformed, or the format identifier is -1 or outside
// 32 bits.
[[nodiscard]] bool xidParseText(const char* text, int32_t defaultFormatId, XID* out) noexcept;

}  // namespace morvalen
