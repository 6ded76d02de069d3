// Transaction cookie export (getCookie), on a branch's worker thread, which
// must be the thread that started the branch: Lookup answers for the calling
// thread.
//
// Nothing is cached between calls: the whereabouts are fetched afresh, and each
// call creates and gives back its own ITransactionExport and its own reference
// to the ITransaction. The whole run holds bridgeLock, so it never overlaps
// init, deinit, the registry or the handlers' DTC calls; the binding's three
// interfaces are used through references of the call's own all the same, so
// that nothing is freed under the call whatever happens to the binding.
// Clean-up on every way out, in this order: bridgeLock released, then the
// whereabouts buffer, the export object and the transaction given back.
#include "xa/Cookie.h"

#include <memory>
#include <new>

#include "report/Report.h"
#include "contract/txdtc.h"
#include "contract/xa.h"
#include "xa/Binding.h"
#include "xa/ScopeExit.h"

int32_t getCookie(uint8_t** cookie, uint32_t* cookieLength) {
    // Declared before the lock, so they are given back after it is released.
    ComRef<ITransactionImportWhereabouts> whereaboutsRef;
    ComRef<ITransactionExportFactory> factoryRef;
    ComRef<IXATransLookup> lookupRef;
    ComRef<ITransaction> transaction;
    ComRef<ITransactionExport> exporter;
    std::unique_ptr<BYTE[]> whereabouts;
    platform::ScopedLock hold(bridgeLock());
    DtcInterfaces dtc = dtcInterfacesAcquire();
    whereaboutsRef.pointer = dtc.whereabouts;
    factoryRef.pointer = dtc.exportFactory;
    lookupRef.pointer = dtc.lookup;

    if (dtc.whereabouts == nullptr) {
        // The binding was dropped by another thread since this branch's start.
        reportErrorCode("getCookie 3:", XAER_RMFAIL);
        return XAER_RMFAIL;
    }
    ULONG whereaboutsLength = 0;
    HRESULT code = dtc.whereabouts->GetWhereaboutsSize(&whereaboutsLength);
    if (code != 0) {
        code = dtc.whereabouts->GetWhereaboutsSize(&whereaboutsLength);  // one retry at once
    }
    whereabouts.reset(new (std::nothrow) BYTE[whereaboutsLength]);
    if (code != 0 || whereabouts == nullptr) {
        // With only the allocation failed the code is 0: the branch goes on
        // without a cookie.
        reportErrorCode("getCookie 3:", code);
        return code;
    }
    code = dtc.whereabouts->GetWhereabouts(whereaboutsLength, whereabouts.get(), &whereaboutsLength);
    if (code != 0) {
        reportErrorCode("getCookie 4:", code);
        return code;
    }
    code = dtc.exportFactory->Create(whereaboutsLength, whereabouts.get(), &exporter.pointer);
    if (DTC_FAILED(code) || exporter.pointer == nullptr) {
        reportErrorCode("getCookie 5:", code);
        return code;
    }
    code = dtc.lookup->Lookup(&transaction.pointer);
    if (code != 0 || transaction.pointer == nullptr) {
        reportErrorCode(code == XACT_E_NOTRANSACTION
                            ? "getCookie 7: The calling thread is not associated with any transaction."
                            : "getCookie 7:",
                        code);
        return code;
    }
    ULONG length = 0;
    HRESULT exportCode = exporter.pointer->Export(transaction.pointer, &length);
    // From here on the caller's length holds Export's size, on every way out;
    // the cookie is handed over only whole, so no way out (an exception
    // included) leaves a partial cookie with the branch.
    std::unique_ptr<uint8_t[]> buffer;
    ScopeExit publish([&] {  // still under bridgeLock, where a joining start reads them
        *cookieLength = length;
        *cookie = buffer.release();
    });
    buffer.reset(new (std::nothrow) uint8_t[length]);
    if (buffer == nullptr) {
        reportErrorCode("getCookie 8:", exportCode);
        return XAER_RMERR;
    }
    ULONG used = 0;  // the size used is not passed on: the length is Export's
    HRESULT retrievalCode = exporter.pointer->GetTransactionCookie(transaction.pointer, length, buffer.get(), &used);
    HRESULT failed = DTC_FAILED(exportCode) ? exportCode : (DTC_FAILED(retrievalCode) ? retrievalCode : 0);
    if (failed != 0) {
        buffer.reset();
        reportErrorCode("getCookie 9:", failed);
        return failed;
    }
    return 0;
}
