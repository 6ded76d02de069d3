// Links against the installed libxolehlp.so and asks for the coordinator's
// ITransactionImport, as a resource manager of one's own begins: prints
// whether dtcd answered.
#include <contract/txdtc.h>

#include <cstdio>

int main() {
    void* import = nullptr;
    HRESULT hr = DtcGetTransactionManager(nullptr, nullptr, IID_ITransactionImport, 0, 0, nullptr, &import);
    std::printf("DtcGetTransactionManager: 0x%08x\n", static_cast<unsigned>(hr));
    if (hr != S_OK || import == nullptr) return 1;
    static_cast<IUnknown*>(import)->Release();
    return 0;
}
