// XID helpers shared by the connection loop, the registry and the handlers.
#include "common/Xid.h"

#include <cstring>

bool xidLengthsValid(const XID& xid) {
    return xid.gtrid_length >= 0 && xid.gtrid_length <= MAXGTRIDSIZE && xid.bqual_length >= 0 &&
           xid.bqual_length <= MAXBQUALSIZE;
}

bool xidEqual(const XID& a, const XID& b) {
    if (a.formatID != b.formatID || a.gtrid_length != b.gtrid_length || a.bqual_length != b.bqual_length) {
        return false;
    }
    int64_t n = int64_t{a.gtrid_length} + int64_t{a.bqual_length};
    if (n <= 0) {
        return true;
    }
    if (n > XIDDATASIZE) {
        n = XIDDATASIZE;
    }
    return std::memcmp(a.data, b.data, static_cast<size_t>(n)) == 0;
}
