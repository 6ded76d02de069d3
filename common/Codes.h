// The service's own result codes. XA return codes come from xa.h and MS DTC's
// HRESULTs from txdtc.h; both pass through to clients unchanged. Success is 0 or
// positive, failure negative.
#pragma once

#include <cstdint>

#include "contract/xa.h"

constexpr int32_t kSocketFailure = -1;              // -1: listener socket failure; resume of an XID without a record
constexpr int32_t kRecordAllocFailed = -0x20001;    // -131073: a record cannot be allocated
constexpr int32_t kResumeSignalFailed = -0x30001;   // -196609: the worker cannot be signalled on a resume
constexpr int32_t kWorkerStartFailed = -0x40001;    // -262145: a branch worker or its events cannot be created
constexpr int32_t kEndNoRecord = -0x100001;         // -1048577: end of an XID without a branch record
constexpr int32_t kEndSignalFailed = -0x110001;     // -1114113: the worker cannot be signalled on an end
constexpr int32_t kRegistryGrowFailed = -0x200001;  // -2097153: the registry's array cannot be created or grown
constexpr int32_t kExceptionCaught = -0x220001;     // -2228225: an exception was caught
