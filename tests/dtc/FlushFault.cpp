// A stand-in for fsync(2) and fdatasync(2), preloaded into dtcd by the store
// tests: while the file named by FLUSH_FAULT_FILE exists, every flush fails
// with EIO, as a disk that lost a write reports it; otherwise the real call
// runs. The test makes and removes the file to choose the failing moment.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool faulting() {
    const char* trigger = std::getenv("FLUSH_FAULT_FILE");
    return trigger != nullptr && access(trigger, F_OK) == 0;
}

template <typename Call>
Call real(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
    if (faulting()) {
        errno = EIO;
        return -1;
    }
    static auto call = real<int (*)(int)>("fsync");
    return call(fd);
}

extern "C" int fdatasync(int fd) {
    if (faulting()) {
        errno = EIO;
        return -1;
    }
    static auto call = real<int (*)(int)>("fdatasync");
    return call(fd);
}
