// Transaction cookie export (getCookie), on a branch's worker thread.
//
// Nothing is cached between calls: the whereabouts are fetched afresh, and each
// call creates and gives back its own ITransactionExport and its own reference
// to the ITransaction. Only the binding's three interfaces outlive a call, and
// bridgeLock, held for the whole run, keeps deinit from releasing them meanwhile.
// Clean-up order on every way out: bridgeLock, the whereabouts buffer, the
// export object, the transaction (the reverse of the declarations below).
#include "xa/Cookie.h"

#include <memory>
#include <new>

#include "service/Report.h"
#include "txdtc.h"
#include "xa.h"
#include "xa/Binding.h"
#include "xa/ScopeExit.h"

int32_t getCookie(uint8_t** cookie, uint32_t* cookieLength) {
    ComRef<ITransaction> transaction;
    ComRef<ITransactionExport> exporter;
    std::unique_ptr<BYTE[]> whereabouts;
    platform::ScopedLock hold(bridgeLock());
    *cookie = nullptr;  // written under the lock: a joining start reads it under the lock

    DtcInterfaces dtc = dtcInterfaces();
    if (dtc.whereabouts == nullptr || dtc.exportFactory == nullptr || dtc.lookup == nullptr) {
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
    HRESULT exportCode = exporter.pointer->Export(transaction.pointer, cookieLength);
    // Handed to the caller only once it holds the whole cookie, so that no way
    // out (an exception included) leaves a partial cookie with the branch.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[*cookieLength]);
    if (buffer == nullptr) {
        reportErrorCode("getCookie 8:", exportCode);
        return XAER_RMERR;
    }
    ULONG used = 0;  // the size used is not passed on: the length is Export's
    HRESULT retrievalCode = exporter.pointer->GetTransactionCookie(transaction.pointer, *cookieLength, buffer.get(), &used);
    HRESULT failed = DTC_FAILED(exportCode) ? exportCode : (DTC_FAILED(retrievalCode) ? retrievalCode : 0);
    if (failed != 0) {
        reportErrorCode("getCookie 9:", failed);
        return failed;
    }
    *cookie = buffer.release();
    return 0;
}
