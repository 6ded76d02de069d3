// The service manager's side of installing and removing the service
// (OpenSCManagerA, CreateServiceA, OpenServiceA, ControlService,
// QueryServiceStatus, DeleteService). Two halves:
//
//  - the unit files: the unit in the administrator's unit directory and the
//    link that enables it for a target, written the way `systemctl enable`
//    writes them, so they work whether or not the manager is running;
//  - the running manager, reached over the system bus: reload, stop, and the
//    unit's state and stop time-out.
//
// Every function returns true on success; on failure it returns false with the
// system's error number as the thread's last error (platform/Error.h). Errors
// the bus answers with are turned into error numbers first, so a failure has the
// same text whichever half reported it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Whether a service is described by a unit file, whose ExecStart= syntax limits
// the executable's path. Not on Windows: there the functions below stand for
// the service control manager (CreateServiceA takes the quoted path as it is)
// and the event source's registry key (platform/win32/ServiceControl.cpp).
#if defined(_WIN32)
inline constexpr bool kServiceUnitFiles = false;
#else
inline constexpr bool kServiceUnitFiles = true;
#endif

// Whether the calling process may administer services: it runs as root and may
// write the unit directory. False with EACCES (or the directory's own error).
[[nodiscard]] bool serviceManagerAccess() noexcept;

// Whether the service manager runs on this machine (its runtime directory exists).
[[nodiscard]] bool serviceManagerRunning() noexcept;

// Creates the unit file exclusively (EEXIST when it exists) with the given
// content, readable by everyone. A file that could not be written whole is removed.
[[nodiscard]] bool unitFileCreate(const char* unitName, const char* content) noexcept;

// Whether the unit file exists (false with ENOENT when it does not).
[[nodiscard]] bool unitFileExists(const char* unitName) noexcept;

// Removes the unit file.
[[nodiscard]] bool unitFileRemove(const char* unitName) noexcept;

// Enables the unit for a target: the link <target>.wants/<unit> to the unit
// file, the .wants directory made when missing, a stale link replaced.
[[nodiscard]] bool unitEnable(const char* unitName, const char* target) noexcept;

// Removes that link; a link that is not there is not an error.
[[nodiscard]] bool unitDisable(const char* unitName, const char* target) noexcept;

// Where the service manager holds the service itself (not kServiceUnitFiles:
// Windows), the log source is registered apart from it, in three steps that
// installation takes one by one, each whatever the one before gave: the
// source's key, the message file (the executable, which carries the message
// table), and the types it reports (error, warning, information). Each returns
// false with the system's error when it failed. Elsewhere the system log needs
// no registration: each step succeeds and does nothing.
enum class LogSourceStep { CreateKey, MessageFile, TypesSupported };
[[nodiscard]] bool logSourceRegister(LogSourceStep step, const char* sourceName, const char* executablePath) noexcept;

// A connection to the running manager on the system bus.
struct ManagerBus;

// Connects and checks that the manager answers. nullptr on failure.
[[nodiscard]] ManagerBus* managerBusOpen() noexcept;
void managerBusClose(ManagerBus* bus) noexcept;

// Makes the manager read the unit files again.
[[nodiscard]] bool managerReload(ManagerBus* bus) noexcept;

// Queues a stop job for the unit (the running service gets its stop signal).
[[nodiscard]] bool managerStopUnit(ManagerBus* bus, const char* unitName) noexcept;

// The unit's active state ("active", "deactivating", "inactive", "failed", ...)
// into state (always terminated). ENOENT when the manager has not loaded the unit.
[[nodiscard]] bool managerUnitActiveState(ManagerBus* bus, const char* unitName, char* state, size_t size) noexcept;

// The unit's stop time-out in microseconds (UINT64_MAX for none) into *usec
// (0 on failure).
[[nodiscard]] bool managerUnitStopTimeout(ManagerBus* bus, const char* unitName, uint64_t* usec) noexcept;

}  // namespace platform
