// The client core library (libdtcclient.so): everything the two export layers
// libmsdtcprx.so and libxolehlp.so do, behind C entry points. The export
// layers only forward, so the service may unload and load libmsdtcprx.so
// again at will: connections, reader threads, the per-process branch table
// and the thread associations live here, in a library that stays loaded
// because libxolehlp.so is linked into the service.
#pragma once

#include "contract/txdtc.h"
#include "contract/xa.h"

#include <memory>

extern "C" {
int dtcclient_xa_open(char* xa_info, int rmid, int flags);
int dtcclient_xa_close(char* xa_info, int rmid, int flags);
int dtcclient_xa_start(XID* xid, int rmid, int flags);
int dtcclient_xa_end(XID* xid, int rmid, int flags);
int dtcclient_xa_rollback(XID* xid, int rmid, int flags);
int dtcclient_xa_prepare(XID* xid, int rmid, int flags);
int dtcclient_xa_commit(XID* xid, int rmid, int flags);
int dtcclient_xa_recover(XID* xids, int count, int rmid, int flags);
int dtcclient_xa_forget(XID* xid, int rmid, int flags);
int dtcclient_xa_complete(int* handle, int* retval, int rmid, int flags);
HRESULT dtcclient_get_transaction_manager(char* hostName, char* tmName, REFIID riid, DWORD reserved1, WORD reserved2,
                                          void* reserved3, void** object);
}

struct Connection;

// What the calling thread is associated with, for IXATransLookup::Lookup.
struct ThreadTransaction {
    std::shared_ptr<Connection> connection; // the rmid's control connection
    uint8_t uow[16]{};                      // transaction id
    uint8_t token[16]{};                    // cookie secret
};
// True when the calling thread has an active association on an open rmid.
[[nodiscard]] bool currentTransaction(ThreadTransaction* out);
// The transaction id, token and connection behind one of the core's own
// ITransaction objects; false for anything else.
[[nodiscard]] bool coreTransactionIds(IUnknown* transaction, uint8_t* uow, uint8_t* token,
                                      std::shared_ptr<Connection>* connection);
// IResourceManagerFactory::Create (RmCore.cpp).
HRESULT createResourceManager(GUID* rmGuid, char* name, IResourceManagerSink* sink, IResourceManager** rm);
