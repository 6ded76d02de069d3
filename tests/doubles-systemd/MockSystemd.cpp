// mock-systemd1: a scriptable stand-in for the service manager on a bus of the
// test's own (the bus named by DBUS_SYSTEM_BUS_ADDRESS). It owns the name
// org.freedesktop.systemd1 and serves, for the one unit Morvalen.service:
//
//   Manager: Reload(), StopUnit(s name, s mode) -> o, GetUnit(s name) -> o
//   Unit:    ActiveState (s)       Service: TimeoutStopUSec (t)
//
// Options:
//   --state=active|inactive|none  the unit's state; none: not loaded (GetUnit
//                                 and StopUnit answer NoSuchUnit)
//   --stop-polls=N                after StopUnit the unit is "deactivating" for
//                                 N reads of ActiveState, then "inactive";
//                                 -1: it never stops
//   --timeout-usec=T              TimeoutStopUSec (default 90 s)
//   --deny=METHOD                 METHOD answers AccessDenied
//   --record=FILE                 one line per call: "Reload",
//                                 "StopUnit <name> <mode>", "GetUnit <name>",
//                                 "ActiveState <value returned>"
// It prints "ready" once it owns its name and runs until it is killed or the
// bus goes away.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <systemd/sd-bus.h>

namespace {

constexpr const char* kUnitName = "Morvalen.service";
constexpr const char* kUnitPath = "/org/freedesktop/systemd1/unit/Morvalen_2eservice";

std::string unitState = "active";  // the unit's ActiveState, or "none"
long stopPolls = 2;                // reads of "deactivating" after StopUnit; -1 for ever
long pollsLeft = 0;                // what is left of them
uint64_t timeoutUsec = 90000000;   // TimeoutStopUSec
std::string denied;                // the method that answers AccessDenied
FILE* record = nullptr;            // the call record, or null

void recordLine(const std::string& line) {
    if (record == nullptr) return;
    std::fprintf(record, "%s\n", line.c_str());
    std::fflush(record);
}

int noSuchUnit(sd_bus_error* error, const char* name) {
    return sd_bus_error_setf(error, "org.freedesktop.systemd1.NoSuchUnit", "Unit %s not loaded.", name);
}

int methodReload(sd_bus_message* message, void*, sd_bus_error* error) {
    recordLine("Reload");
    if (denied == "Reload") return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Access denied");
    return sd_bus_reply_method_return(message, "");
}

int methodStopUnit(sd_bus_message* message, void*, sd_bus_error* error) {
    const char* name = nullptr;
    const char* mode = nullptr;
    int r = sd_bus_message_read(message, "ss", &name, &mode);
    if (r < 0) return r;
    recordLine(std::string("StopUnit ") + name + " " + mode);
    if (denied == "StopUnit") return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Access denied");
    if (std::strcmp(name, kUnitName) != 0 || unitState == "none") return noSuchUnit(error, name);
    if (unitState != "inactive" && unitState != "failed") {
        unitState = "deactivating";
        pollsLeft = stopPolls;
    }
    return sd_bus_reply_method_return(message, "o", "/org/freedesktop/systemd1/job/1");
}

int methodGetUnit(sd_bus_message* message, void*, sd_bus_error* error) {
    const char* name = nullptr;
    int r = sd_bus_message_read(message, "s", &name);
    if (r < 0) return r;
    recordLine(std::string("GetUnit ") + name);
    if (denied == "GetUnit") return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Access denied");
    if (std::strcmp(name, kUnitName) != 0 || unitState == "none") return noSuchUnit(error, name);
    return sd_bus_reply_method_return(message, "o", kUnitPath);
}

int propertyActiveState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                        sd_bus_error*) {
    if (unitState == "deactivating" && stopPolls >= 0) {
        if (pollsLeft == 0) {
            unitState = "inactive";
        } else {
            --pollsLeft;
        }
    }
    recordLine("ActiveState " + unitState);
    return sd_bus_message_append(reply, "s", unitState.c_str());
}

int propertyTimeoutStop(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                        sd_bus_error*) {
    return sd_bus_message_append(reply, "t", timeoutUsec);
}

const sd_bus_vtable managerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Reload", "", "", methodReload, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopUnit", "ss", "o", methodStopUnit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetUnit", "s", "o", methodGetUnit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable unitVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("ActiveState", "s", propertyActiveState, 0, 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable serviceVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("TimeoutStopUSec", "t", propertyTimeoutStop, 0, 0),
    SD_BUS_VTABLE_END,
};

bool option(const char* argument, const char* name, const char** value) {
    size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    *value = argument + length + 1;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* value = nullptr;
        if (option(argv[i], "--state", &value)) {
            unitState = value;
        } else if (option(argv[i], "--stop-polls", &value)) {
            stopPolls = std::strtol(value, nullptr, 10);
        } else if (option(argv[i], "--timeout-usec", &value)) {
            timeoutUsec = std::strtoull(value, nullptr, 10);
        } else if (option(argv[i], "--deny", &value)) {
            denied = value;
        } else if (option(argv[i], "--record", &value)) {
            record = std::fopen(value, "a");
        } else {
            std::fprintf(stderr, "mock-systemd1: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        std::fprintf(stderr, "mock-systemd1: cannot connect: %s\n", std::strerror(-r));
        return 1;
    }
    r = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                 managerVtable, nullptr);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, kUnitPath, "org.freedesktop.systemd1.Unit", unitVtable, nullptr);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, kUnitPath, "org.freedesktop.systemd1.Service", serviceVtable,
                                     nullptr);
    if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.systemd1", 0);
    if (r < 0) {
        std::fprintf(stderr, "mock-systemd1: cannot serve: %s\n", std::strerror(-r));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0 && r != -EINTR) break;
    }
    sd_bus_flush_close_unref(bus);
    if (record != nullptr) std::fclose(record);
    return 0;
}
