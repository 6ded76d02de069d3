// The XA branch identifier as the service handles it: the 140-byte X/Open XID
// (see contract/xa.h), the null XID, equality and the bounds check that keeps
// every reader inside the 128 data bytes.
#pragma once

#include <cstdint>

#include "contract/xa.h"

// The null XID: format identifier -1, both lengths 0, all data bytes zero.
constexpr XID nullXid() { return XID{-1, 0, 0, {}}; }

// True when gtrid and bqual lengths each lie in 0..64 (so their sum is at most
// 128). Only such XIDs become branch records; equality and rendering of any
// other XID read no byte beyond the data array either (see xidEqual).
[[nodiscard]] bool xidLengthsValid(const XID& xid);

// Two XIDs are equal when format identifier, gtrid length and bqual length are
// equal and the first gtrid + bqual data bytes are equal. Bytes after those are
// not compared. Lengths outside the valid bounds are compared as numbers and the
// byte comparison is clamped to the 128 data bytes.
[[nodiscard]] bool xidEqual(const XID& a, const XID& b);
