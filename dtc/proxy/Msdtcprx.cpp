// libmsdtcprx.so: the ten DTC_Xa entry points, each forwarding to the client
// core. Nothing else lives here: no state, no threads, no static objects, so
// the library can be unloaded and loaded again while the core keeps running.
#include "Core.h"

extern "C" {
int DTC_XaOpen(char* xa_info, int rmid, int flags) { return dtcclient_xa_open(xa_info, rmid, flags); }
int DTC_XaClose(char* xa_info, int rmid, int flags) { return dtcclient_xa_close(xa_info, rmid, flags); }
int DTC_XaStart(XID* xid, int rmid, int flags) { return dtcclient_xa_start(xid, rmid, flags); }
int DTC_XaEnd(XID* xid, int rmid, int flags) { return dtcclient_xa_end(xid, rmid, flags); }
int DTC_XaRollback(XID* xid, int rmid, int flags) { return dtcclient_xa_rollback(xid, rmid, flags); }
int DTC_XaPrepare(XID* xid, int rmid, int flags) { return dtcclient_xa_prepare(xid, rmid, flags); }
int DTC_XaCommit(XID* xid, int rmid, int flags) { return dtcclient_xa_commit(xid, rmid, flags); }
int DTC_XaRecover(XID* xids, int count, int rmid, int flags) { return dtcclient_xa_recover(xids, count, rmid, flags); }
int DTC_XaForget(XID* xid, int rmid, int flags) { return dtcclient_xa_forget(xid, rmid, flags); }
int DTC_XaComplete(int* handle, int* retval, int rmid, int flags) {
    return dtcclient_xa_complete(handle, retval, rmid, flags);
}
}
