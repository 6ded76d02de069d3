// A notify socket of the test's own, standing in for the service manager.
//
// Usage:
//   testsupport::NotifyReceiver receiver;            // binds "@morvalen-notify-<pid>-<n>"
//   ASSERT_TRUE(receiver.bound);
//   // in-process: setEnvironment("NOTIFY_SOCKET", receiver.address);
//   // or for a child: startProcess(&child, program, {}, {"NOTIFY_SOCKET=" + receiver.address});
//   auto fields = testsupport::notifyNext(receiver, 5000);   // one datagram as KEY -> value
//   EXPECT_EQ(fields["READY"], "1");
//
// Datagrams are read with SO_PASSCRED on; file descriptors that arrive with
// them are closed (a BARRIER=1 sender waits for that).
#pragma once

#include <map>
#include <string>

namespace testsupport {

struct NotifyReceiver {
    NotifyReceiver();
    ~NotifyReceiver();
    NotifyReceiver(const NotifyReceiver&) = delete;
    NotifyReceiver& operator=(const NotifyReceiver&) = delete;

    int fd = -1;
    bool bound = false;
    std::string address;  // the NOTIFY_SOCKET value, "@name"
};

struct NotifyMessage {
    bool received = false;                      // false on time-out
    int senderPid = 0;                          // from the kernel's credentials
    std::string text;                           // the whole datagram
    std::map<std::string, std::string> fields;  // KEY=value lines
};

// Waits up to timeoutMs for the next datagram.
NotifyMessage notifyNextMessage(NotifyReceiver& receiver, int timeoutMs);
// The fields of the next datagram; empty on time-out.
std::map<std::string, std::string> notifyNext(NotifyReceiver& receiver, int timeoutMs);

// setenv / unsetenv for in-process tests.
void setEnvironment(const std::string& name, const std::string& value);
void unsetEnvironment(const std::string& name);

}  // namespace testsupport
