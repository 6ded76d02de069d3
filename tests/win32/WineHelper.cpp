// What wine-e2e.sh needs of Windows that its own tools (reg, sc) cannot do:
//
//   wine-helper volatile-key KEY     KEY under HKEY_LOCAL_MACHINE deleted with
//                                    its subkeys and made again volatile, so
//                                    that no lasting subkey can be created in it
//   wine-helper plain-key KEY        the same, made again as an ordinary key
//   wine-helper mark-deleted SERVICE FILE
//                                    DeleteService on SERVICE through a handle
//                                    kept open, so that the service stays,
//                                    marked for deletion, until FILE exists
//                                    (at most two minutes); prints "marked"
//
// Exit code 0 on success, 1 with the failing call and its error otherwise.
#include <cstdio>
#include <cstring>

#include <windows.h>

namespace {

int failed(const char* what, LONG error) {
    std::printf("%s failed: %ld\n", what, error);
    return 1;
}

int remakeKey(const char* key, DWORD options) {
    LONG result = RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return failed("RegDeleteTreeA", result);
    HKEY handle = nullptr;
    result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (result != ERROR_SUCCESS) return failed("RegCreateKeyExA", result);
    RegCloseKey(handle);
    return 0;
}

int markDeleted(const char* name, const char* releaseFile) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return failed("OpenSCManagerA", static_cast<LONG>(GetLastError()));
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service == nullptr) return failed("OpenServiceA", static_cast<LONG>(GetLastError()));
    if (!DeleteService(service)) return failed("DeleteService", static_cast<LONG>(GetLastError()));
    std::printf("marked\n");
    std::fflush(stdout);
    for (int i = 0; i < 1200 && GetFileAttributesA(releaseFile) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(100);  // the test creates the file when it is done; no other signal reaches here
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "volatile-key") == 0) return remakeKey(argv[2], REG_OPTION_VOLATILE);
    if (argc == 3 && std::strcmp(argv[1], "plain-key") == 0) return remakeKey(argv[2], REG_OPTION_NON_VOLATILE);
    if (argc == 4 && std::strcmp(argv[1], "mark-deleted") == 0) return markDeleted(argv[2], argv[3]);
    std::printf("usage: wine-helper volatile-key KEY | plain-key KEY | mark-deleted SERVICE FILE\n");
    return 1;
}
