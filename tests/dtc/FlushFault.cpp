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

// Fails with EIO while faulting, else makes the real call of that name.
int flushOrFail(const char* name, int fd) {
    if (faulting()) {
        errno = EIO;
        return -1;
    }
    auto call = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, name));
    return call(fd);
}

}  // namespace

extern "C" int fsync(int fd) { return flushOrFail("fsync", fd); }

extern "C" int fdatasync(int fd) { return flushOrFail("fdatasync", fd); }
