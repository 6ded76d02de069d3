// The test double of libmsdtcprx.so: the ten DTC_Xa entry points, forwarding
// to the doubles' core. Built a second time without DTC_XaComplete.
#include "DtcDouble.h"

namespace {
struct LoadCounter {
    LoadCounter() { dtcdouble_library_loaded(1); }
    ~LoadCounter() { dtcdouble_library_loaded(0); }
} loadCounter;
}  // namespace

extern "C" {
int DTC_XaOpen(char* xa_info, int rmid, int flags) { return dtcdouble_xa_info(dtcdouble::kOpen, xa_info, rmid, flags); }
int DTC_XaClose(char* xa_info, int rmid, int flags) {
    return dtcdouble_xa_info(dtcdouble::kClose, xa_info, rmid, flags);
}
int DTC_XaStart(XID* xid, int rmid, int flags) { return dtcdouble_xa(dtcdouble::kStart, xid, rmid, flags); }
int DTC_XaEnd(XID* xid, int rmid, int flags) { return dtcdouble_xa(dtcdouble::kEnd, xid, rmid, flags); }
int DTC_XaRollback(XID* xid, int rmid, int flags) { return dtcdouble_xa(dtcdouble::kRollback, xid, rmid, flags); }
int DTC_XaPrepare(XID* xid, int rmid, int flags) { return dtcdouble_xa(dtcdouble::kPrepare, xid, rmid, flags); }
int DTC_XaCommit(XID* xid, int rmid, int flags) { return dtcdouble_xa(dtcdouble::kCommit, xid, rmid, flags); }
int DTC_XaRecover(XID* xids, int count, int rmid, int flags) { return dtcdouble_xa_recover(xids, count, rmid, flags); }
int DTC_XaForget(XID* xid, int rmid, int flags) { return dtcdouble_xa(dtcdouble::kForget, xid, rmid, flags); }
#ifndef DTC_DOUBLE_WITHOUT_COMPLETE
int DTC_XaComplete(int* handle, int* retval, int rmid, int flags) {
    return dtcdouble_xa_complete(handle, retval, rmid, flags);
}
#endif
}
