// libxolehlp.so: DtcGetTransactionManager, forwarding to the client core.
#include "Core.h"

extern "C" HRESULT DtcGetTransactionManager(char* hostName, char* tmName, REFIID riid, DWORD reserved1,
                                            WORD reserved2, void* reserved3, void** object) {
    return dtcclient_get_transaction_manager(hostName, tmName, riid, reserved1, reserved2, reserved3, object);
}
