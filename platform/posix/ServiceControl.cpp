// The service manager on Linux: systemd. The unit files live in the
// administrator's unit directory, /etc/systemd/system, and are written there
// directly, as `systemctl enable` does when no manager runs; the running manager
// (PID 1, when /run/systemd/system exists) is reached with sd-bus on the system
// bus. sd-bus honours DBUS_SYSTEM_BUS_ADDRESS, which is how tests point it at a
// private bus.
#include "platform/ServiceControl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

namespace platform {

namespace {

constexpr const char* kUnitDirectory = "/etc/systemd/system";
constexpr const char* kManagerRuntimeDirectory = "/run/systemd/system";
constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";

std::string unitPath(const char* unitName) { return std::string(kUnitDirectory) + "/" + unitName; }

std::string wantsDirectory(const char* target) { return std::string(kUnitDirectory) + "/" + target + ".wants"; }

// Returns false with errno = error (a positive error number).
bool fail(int error) noexcept {
    errno = error;
    return false;
}

// An error the bus answered with, as an error number. sd-bus maps the
// standard D-Bus names; the manager's own names it does not know are mapped here.
int busErrorNumber(const sd_bus_error* error, int result) noexcept {
    if (sd_bus_error_has_name(error, "org.freedesktop.systemd1.NoSuchUnit") ||
        sd_bus_error_has_name(error, "org.freedesktop.systemd1.NoSuchJob") ||
        sd_bus_error_has_name(error, "org.freedesktop.systemd1.LoadFailed"))
        return ENOENT;
    if (sd_bus_error_has_name(error, "org.freedesktop.systemd1.UnitMasked")) return ERFKILL;
    if (sd_bus_error_has_name(error, "org.freedesktop.systemd1.TransactionIsDestructive")) return EDEADLK;
    if (sd_bus_error_has_name(error, "org.freedesktop.systemd1.JobTypeNotApplicable") ||
        sd_bus_error_has_name(error, "org.freedesktop.systemd1.OnlyByDependency"))
        return EBADR;
    int mapped = sd_bus_error_is_set(error) ? sd_bus_error_get_errno(error) : 0;
    if (mapped > 0) return mapped;
    return result < 0 ? -result : EIO;
}

// Holds an sd_bus_error for a scope.
struct BusError {
    sd_bus_error value = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&value); }
};

// The object path of a loaded unit (GetUnit).
bool unitObjectPath(sd_bus* bus, const char* unitName, std::string* path) noexcept {
    BusError error;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kManagerName, kManagerPath, kManagerInterface, "GetUnit", &error.value, &reply, "s",
                               unitName);
    if (r < 0) return fail(busErrorNumber(&error.value, r));
    const char* objectPath = nullptr;
    r = sd_bus_message_read(reply, "o", &objectPath);
    if (r < 0) {
        sd_bus_message_unref(reply);
        return fail(-r);
    }
    path->assign(objectPath);
    sd_bus_message_unref(reply);
    return true;
}

}  // namespace

struct ManagerBus {
    sd_bus* bus = nullptr;  // owned; the connection to the system bus
};

// OpenSCManagerA with SC_MANAGER_ALL_ACCESS: only an administrator may change
// the service database. Root alone is not enough when the unit directory is
// read-only (a read-only /etc, or a user namespace that does not own it).
bool serviceManagerAccess() noexcept {
    if (geteuid() != 0) return fail(EACCES);
    if (access(kUnitDirectory, W_OK | X_OK) != 0) return false;
    return true;
}

// sd_booted(3): systemd creates this directory at boot.
bool serviceManagerRunning() noexcept {
    struct stat info;
    int saved = errno;
    bool running = lstat(kManagerRuntimeDirectory, &info) == 0 && S_ISDIR(info.st_mode);
    errno = saved;
    return running;
}

bool unitFileCreate(const char* unitName, const char* content) noexcept {
    std::string path = unitPath(unitName);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    size_t length = std::strlen(content);
    size_t written = 0;
    int error = 0;
    while (written < length) {
        ssize_t n = write(fd, content + written, length - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    if (error != 0) {
        unlink(path.c_str());
        return fail(error);
    }
    return true;
}

bool unitFileExists(const char* unitName) noexcept {
    struct stat info;
    return lstat(unitPath(unitName).c_str(), &info) == 0;
}

bool unitFileRemove(const char* unitName) noexcept { return unlink(unitPath(unitName).c_str()) == 0; }

bool unitEnable(const char* unitName, const char* target) noexcept {
    std::string directory = wantsDirectory(target);
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) return false;
    std::string link = directory + "/" + unitName;
    std::string unit = unitPath(unitName);
    if (symlink(unit.c_str(), link.c_str()) == 0) return true;
    if (errno != EEXIST) return false;
    // A link left behind by an earlier unit of the same name: replace it. A
    // file that is not a link is not ours to remove.
    struct stat info;
    if (lstat(link.c_str(), &info) != 0) return false;
    if (!S_ISLNK(info.st_mode)) return fail(EEXIST);
    if (unlink(link.c_str()) != 0) return false;
    return symlink(unit.c_str(), link.c_str()) == 0;
}

bool unitDisable(const char* unitName, const char* target) noexcept {
    std::string link = wantsDirectory(target) + "/" + unitName;
    if (unlink(link.c_str()) == 0 || errno == ENOENT) return true;
    return false;
}

bool logSourceRegister(LogSourceStep, const char*, const char*) noexcept { return true; }

ManagerBus* managerBusOpen() noexcept {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        errno = -r;
        return nullptr;
    }
    // The connection is made lazily; a ping shows whether the manager is there.
    BusError error;
    r = sd_bus_call_method(bus, kManagerName, kManagerPath, "org.freedesktop.DBus.Peer", "Ping", &error.value, nullptr,
                           "");
    if (r < 0) {
        int number = busErrorNumber(&error.value, r);
        sd_bus_flush_close_unref(bus);
        errno = number;
        return nullptr;
    }
    auto* handle = new (std::nothrow) ManagerBus;
    if (handle == nullptr) {
        sd_bus_flush_close_unref(bus);
        errno = ENOMEM;
        return nullptr;
    }
    handle->bus = bus;
    return handle;
}

void managerBusClose(ManagerBus* bus) noexcept {
    if (bus == nullptr) return;
    sd_bus_flush_close_unref(bus->bus);
    delete bus;
}

bool managerReload(ManagerBus* bus) noexcept {
    if (bus == nullptr) return fail(EINVAL);
    BusError error;
    int r = sd_bus_call_method(bus->bus, kManagerName, kManagerPath, kManagerInterface, "Reload", &error.value, nullptr,
                               "");
    if (r < 0) return fail(busErrorNumber(&error.value, r));
    return true;
}

bool managerStopUnit(ManagerBus* bus, const char* unitName) noexcept {
    if (bus == nullptr) return fail(EINVAL);
    BusError error;
    int r = sd_bus_call_method(bus->bus, kManagerName, kManagerPath, kManagerInterface, "StopUnit", &error.value,
                               nullptr, "ss", unitName, "replace");
    if (r < 0) return fail(busErrorNumber(&error.value, r));
    return true;
}

bool managerUnitActiveState(ManagerBus* bus, const char* unitName, char* state, size_t size) noexcept {
    if (size > 0) state[0] = '\0';
    if (bus == nullptr || size == 0) return fail(EINVAL);
    std::string path;
    if (!unitObjectPath(bus->bus, unitName, &path)) return false;
    BusError error;
    char* value = nullptr;
    int r = sd_bus_get_property_string(bus->bus, kManagerName, path.c_str(), "org.freedesktop.systemd1.Unit",
                                       "ActiveState", &error.value, &value);
    if (r < 0) return fail(busErrorNumber(&error.value, r));
    std::snprintf(state, size, "%s", value);
    free(value);
    return true;
}

bool managerUnitStopTimeout(ManagerBus* bus, const char* unitName, uint64_t* usec) noexcept {
    *usec = 0;
    if (bus == nullptr) return fail(EINVAL);
    std::string path;
    if (!unitObjectPath(bus->bus, unitName, &path)) return false;
    BusError error;
    uint64_t value = 0;
    int r = sd_bus_get_property_trivial(bus->bus, kManagerName, path.c_str(), "org.freedesktop.systemd1.Service",
                                        "TimeoutStopUSec", &error.value, 't', &value);
    if (r < 0) return fail(busErrorNumber(&error.value, r));
    *usec = value;
    return true;
}

}  // namespace platform
