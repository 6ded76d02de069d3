// A test's own notify socket: an abstract AF_UNIX datagram socket.
#include "support/NotifyReceiver.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {
namespace {

std::atomic<int> receiverCount{0};

}  // namespace

NotifyReceiver::NotifyReceiver() {
    std::string name = "morvalen-notify-" + std::to_string(getpid()) + "-" + std::to_string(receiverCount++);
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    memcpy(socketAddress.sun_path + 1, name.data(), name.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    bound = bind(fd, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0;
    address = "@" + name;
}

NotifyReceiver::~NotifyReceiver() {
    if (fd >= 0) {
        close(fd);
    }
}

NotifyMessage notifyNextMessage(NotifyReceiver& receiver, int timeoutMs) {
    NotifyMessage message;
    pollfd waiting{receiver.fd, POLLIN, 0};
    if (receiver.fd < 0 || poll(&waiting, 1, timeoutMs) <= 0) {
        return message;
    }
    char buffer[4096];
    iovec part{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 16)];
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t got = recvmsg(receiver.fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0) {
        return message;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
            ucred credentials;
            memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            message.senderPid = credentials.pid;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int received;
                memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
                close(received);
            }
        }
    }
    message.received = true;
    message.text.assign(buffer, static_cast<size_t>(got));
    size_t start = 0;
    while (start < message.text.size()) {
        size_t end = message.text.find('\n', start);
        if (end == std::string::npos) {
            end = message.text.size();
        }
        std::string line = message.text.substr(start, end - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            message.fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
        start = end + 1;
    }
    return message;
}

std::map<std::string, std::string> notifyNext(NotifyReceiver& receiver, int timeoutMs) {
    return notifyNextMessage(receiver, timeoutMs).fields;
}

void setEnvironment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironment(const std::string& name) {
    unsetenv(name.c_str());
}

}  // namespace testsupport
