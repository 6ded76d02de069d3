// X/Open XA types, flags and return codes, and the ten DTC_Xa entry points that
// libmsdtcprx.so exports. Shared by the coordinator's proxy library, the service
// (which binds the entry points at run time by name) and the test doubles.
// C linkage and fixed-width fields, so that the 140-byte XID lays out the same
// in every component.
#ifndef DTC_XA_H
#define DTC_XA_H

#include <stdint.h>

#define XIDDATASIZE 128
#define MAXGTRIDSIZE 64
#define MAXBQUALSIZE 64

typedef struct xid_t {
    int32_t formatID;     /* -1 for the null XID */
    int32_t gtrid_length; /* 1..64 for a valid XID */
    int32_t bqual_length; /* 0..64 for a valid XID */
    char data[XIDDATASIZE]; /* gtrid bytes, then bqual bytes */
} XID;

#ifdef __cplusplus
static_assert(sizeof(XID) == 140, "XID is 140 bytes on the wire and in every library");
#endif

/* Flags */
#define TMNOFLAGS    0x00000000
#define TMMIGRATE    0x00100000
#define TMJOIN       0x00200000
#define TMMULTIPLE   0x00400000
#define TMENDRSCAN   0x00800000
#define TMSTARTRSCAN 0x01000000
#define TMSUSPEND    0x02000000
#define TMSUCCESS    0x04000000
#define TMRESUME     0x08000000
#define TMNOWAIT     0x10000000
#define TMFAIL       0x20000000
#define TMONEPHASE   0x40000000
#define TMASYNC      ((int)0x80000000)

/* Return codes */
#define XA_RBBASE      100
#define XA_RBROLLBACK  100
#define XA_RBCOMMFAIL  101
#define XA_RBDEADLOCK  102
#define XA_RBINTEGRITY 103
#define XA_RBOTHER     104
#define XA_RBPROTO     105
#define XA_RBTIMEOUT   106
#define XA_RBTRANSIENT 107
#define XA_RBEND       107
#define XA_NOMIGRATE   9
#define XA_HEURHAZ     8
#define XA_HEURCOM     7
#define XA_HEURRB      6
#define XA_HEURMIX     5
#define XA_RETRY       4
#define XA_RDONLY      3
#define XA_OK          0
#define XAER_ASYNC     (-2)
#define XAER_RMERR     (-3)
#define XAER_NOTA      (-4)
#define XAER_INVAL     (-5)
#define XAER_PROTO     (-6)
#define XAER_RMFAIL    (-7)
#define XAER_DUPID     (-8)
#define XAER_OUTSIDE   (-9)

#ifdef __cplusplus
extern "C" {
#endif

/* The entry points of libmsdtcprx.so. Flags are 32-bit ints (the Windows long). */
int DTC_XaOpen(char* xa_info, int rmid, int flags);
int DTC_XaClose(char* xa_info, int rmid, int flags);
int DTC_XaStart(XID* xid, int rmid, int flags);
int DTC_XaEnd(XID* xid, int rmid, int flags);
int DTC_XaRollback(XID* xid, int rmid, int flags);
int DTC_XaPrepare(XID* xid, int rmid, int flags);
int DTC_XaCommit(XID* xid, int rmid, int flags);
int DTC_XaRecover(XID* xids, int count, int rmid, int flags);
int DTC_XaForget(XID* xid, int rmid, int flags);
int DTC_XaComplete(int* handle, int* retval, int rmid, int flags);

typedef int (*DTC_XaOpenFn)(char*, int, int);
typedef int (*DTC_XaCloseFn)(char*, int, int);
typedef int (*DTC_XaBranchFn)(XID*, int, int); /* start, end, rollback, prepare, commit, forget */
typedef int (*DTC_XaRecoverFn)(XID*, int, int, int);
typedef int (*DTC_XaCompleteFn)(int*, int*, int, int);

#ifdef __cplusplus
}
#endif

#endif /* DTC_XA_H */
