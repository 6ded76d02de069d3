// The Win32 platform layer under the calls the service makes: Winsock (the
// receive time-out, the wake of a blocked accept by a shutdown of its socket,
// the end of blocked receives by the clean-up), events and the critical
// section across threads, detached threads, error texts (FormatMessageA),
// LoadLibraryA of the DTC library, the executable's path, and the stop
// control's events, and the resources of morvalen.exe. Only this test talks
// to Winsock directly (the client side).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <winsock2.h>
#include <windows.h>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Library.h"
#include "platform/Notify.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "platform/Socket.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace {

constexpr int kBoundMs = 5000;

// A listening socket on an ephemeral loopback-reachable port.
struct Listening {
    Listening() {
        EXPECT_EQ(platform::socketsStartup(), 0);
        socket = platform::socketOpenTcp4();
        EXPECT_NE(socket, platform::kInvalidSocket);
        EXPECT_EQ(platform::socketBindAny4(socket, 0), 0);
        EXPECT_EQ(platform::socketLocalPort(socket, &port), 0);
        EXPECT_EQ(platform::socketListen(socket, 5), 0);
    }
    ~Listening() {
        (void)platform::socketCloseHandle(socket);
        platform::socketsCleanup();
    }
    platform::Socket socket = platform::kInvalidSocket;
    uint16_t port = 0;
};

// A plain Winsock client connected to 127.0.0.1:port.
SOCKET connectTo(uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Polls (bounded) until flag is set.
bool waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < kBoundMs && !flag.load(); ++i) platform::sleepMs(1);
    return flag.load();
}

}  // namespace

TEST(Win32Sockets, AcceptReceiveSendAndBytesAvailable) {
    Listening listening;
    SOCKET client = connectTo(listening.port);
    ASSERT_NE(client, INVALID_SOCKET);
    platform::Socket accepted = platform::socketAccept(listening.socket);
    ASSERT_NE(accepted, platform::kInvalidSocket);

    ASSERT_EQ(::send(client, "Morvalen", 8, 0), 8);
    uint32_t available = 0;
    for (int i = 0; i < kBoundMs && available < 8; ++i) {
        ASSERT_EQ(platform::socketBytesAvailable(accepted, &available), 0);
        if (available < 8) platform::sleepMs(1);
    }
    EXPECT_EQ(available, 8u);
    char buffer[8];
    EXPECT_EQ(platform::socketReceive(accepted, buffer, 8), 8);
    EXPECT_EQ(std::memcmp(buffer, "Morvalen", 8), 0);
    EXPECT_EQ(platform::socketSend(accepted, "ok", 2), 2);
    EXPECT_EQ(::recv(client, buffer, 2, 0), 2);

    // The peer's close reads as 0 bytes.
    ::closesocket(client);
    EXPECT_EQ(platform::socketReceive(accepted, buffer, 1), 0);
    EXPECT_EQ(platform::socketReceive(accepted, buffer, -1), -1);
    EXPECT_EQ(platform::socketLastError(), WSAEINVAL);
    EXPECT_EQ(platform::socketCloseHandle(accepted), 0);
}

TEST(Win32Sockets, ReceiveTimeOutFailsWithTheWinsockCode) {
    Listening listening;
    SOCKET client = connectTo(listening.port);
    ASSERT_NE(client, INVALID_SOCKET);
    platform::Socket accepted = platform::socketAccept(listening.socket);
    ASSERT_NE(accepted, platform::kInvalidSocket);
    ASSERT_EQ(platform::socketSetReceiveTimeout(accepted, 100), 0);
    char one;
    EXPECT_EQ(platform::socketReceive(accepted, &one, 1), -1);
    EXPECT_EQ(platform::socketLastError(), WSAETIMEDOUT);
    ::closesocket(client);
    (void)platform::socketCloseHandle(accepted);
}

TEST(Win32Sockets, ShutdownOfTheListeningSocketWakesItsAccept) {
    Listening listening;
    std::atomic<bool> returned{false};
    platform::Socket result = 0;
    int32_t error = 0;
    std::thread acceptor([&] {
        result = platform::socketAccept(listening.socket);
        error = platform::socketLastError();
        returned.store(true);
    });
    platform::sleepMs(100);  // let it block (either order must work)
    EXPECT_EQ(platform::socketShutdownBoth(listening.socket), 0);
    EXPECT_TRUE(waitFor(returned));
    acceptor.join();
    EXPECT_EQ(result, platform::kInvalidSocket);
    EXPECT_EQ(error, WSAESHUTDOWN);
    // Shut down before the accept: it fails at once.
    EXPECT_EQ(platform::socketAccept(listening.socket), platform::kInvalidSocket);
}

TEST(Win32Sockets, CleanupEndsBlockedReceivesAndLeavesTheSocketsToTheirOwners) {
    Listening listening;
    SOCKET client = connectTo(listening.port);
    ASSERT_NE(client, INVALID_SOCKET);
    platform::Socket accepted = platform::socketAccept(listening.socket);
    ASSERT_NE(accepted, platform::kInvalidSocket);
    std::atomic<bool> returned{false};
    int32_t got = 99;
    std::thread receiver([&] {
        char one;
        got = platform::socketReceive(accepted, &one, 1);
        returned.store(true);
    });
    platform::sleepMs(100);
    EXPECT_EQ(platform::socketsStartup(), 0);  // the listener's own reference
    platform::socketsCleanup();
    EXPECT_TRUE(waitFor(returned));
    receiver.join();
    EXPECT_LE(got, 0);
    // Winsock still works for everyone else, and the owner closes its socket.
    EXPECT_EQ(platform::socketCloseHandle(accepted), 0);
    ::closesocket(client);
    SOCKET again = connectTo(listening.port);
    EXPECT_NE(again, INVALID_SOCKET);
    ::closesocket(again);
}

TEST(Win32Sync, ManualResetEventWakesEveryWaiterAndStaysSet) {
    platform::Event* event = platform::eventCreate();
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    std::thread a([&] { if (platform::eventWait(event)) ++woken; });
    std::thread b([&] { if (platform::eventWait(event)) ++woken; });
    EXPECT_TRUE(platform::eventSet(event));
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_TRUE(event->signalled);
    EXPECT_TRUE(platform::eventWait(event));  // still set
    EXPECT_TRUE(platform::eventReset(event));
    EXPECT_FALSE(event->signalled);
    EXPECT_EQ(WaitForSingleObject(event->handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    platform::eventClose(event);
    EXPECT_FALSE(platform::eventSet(nullptr));
    EXPECT_FALSE(platform::eventWait(nullptr));
    platform::eventClose(nullptr);
}

TEST(Win32Sync, CriticalSectionIsReentrantAndExcludesOtherThreads) {
    platform::ReentrantLock lock;
    platform::lockEnter(lock);
    platform::lockEnter(lock);
    EXPECT_TRUE(platform::lockHeldByMe(lock));
    bool otherTook = true;
    std::thread other([&] { otherTook = lock.mutex.try_lock(); });
    other.join();
    EXPECT_FALSE(otherTook);
    platform::lockLeave(lock);
    EXPECT_TRUE(platform::lockHeldByMe(lock));
    platform::lockLeave(lock);
    EXPECT_FALSE(platform::lockHeldByMe(lock));
    std::thread again([&] {
        otherTook = lock.mutex.try_lock();
        if (otherTook) lock.mutex.unlock();
    });
    again.join();
    EXPECT_TRUE(otherTook);
}

TEST(Win32Threads, DetachedThreadsRunWithIdsOfTheirOwn) {
    static std::atomic<uint64_t> seen{0};
    static std::atomic<bool> ran{false};
    ASSERT_EQ(platform::threadStartDetached([](void* argument) {
                  seen.store(platform::threadCurrentId());
                  ran.store(argument != nullptr);
              }, &seen),
              0);
    EXPECT_TRUE(waitFor(ran));
    EXPECT_NE(seen.load(), 0u);
    EXPECT_NE(seen.load(), platform::threadCurrentId());
    EXPECT_NE(platform::threadStartDetached(nullptr, nullptr), 0);
}

TEST(Win32Errors, SystemTextsWithoutTheirLineEnd) {
    char text[256];
    size_t length = platform::errorText(ERROR_ACCESS_DENIED, text, sizeof text);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::strlen(text), length);
    EXPECT_NE(text[length - 1], '\n');
    EXPECT_NE(text[length - 1], '\r');
    // Cut to the buffer, always terminated; none for an unknown number.
    char small[4];
    EXPECT_EQ(platform::errorText(ERROR_ACCESS_DENIED, small, sizeof small), 3u);
    EXPECT_EQ(platform::errorText(0x2FFFFFFF, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
    platform::setLastError(ERROR_SERVICE_EXISTS);
    EXPECT_EQ(platform::lastError(), ERROR_SERVICE_EXISTS);
}

TEST(Win32Library, TheDtcLibraryByBareNameAndItsEntryPoints) {
    EXPECT_STREQ(platform::kDtcProxyLibrary, "MSDTCPRX.DLL");
    platform::LibraryHandle library = platform::libraryLoad(platform::kDtcProxyLibrary);
    ASSERT_NE(library, nullptr) << "MSDTCPRX.DLL (the double) must be on PATH";
    EXPECT_NE(platform::librarySymbol(library, "DTC_XaOpen"), nullptr);
    EXPECT_NE(platform::librarySymbol(library, "DTC_XaComplete"), nullptr);
    EXPECT_EQ(platform::librarySymbol(library, "DTC_XaNothing"), nullptr);
    EXPECT_TRUE(platform::libraryFree(library));

    EXPECT_EQ(platform::libraryLoad("NO-SUCH-LIBRARY.DLL"), nullptr);
    EXPECT_EQ(platform::lastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(platform::libraryFree(nullptr));
    EXPECT_EQ(platform::librarySymbol(nullptr, "DTC_XaOpen"), nullptr);
}

TEST(Win32Process, ExecutablePathIsTheWholePathOrNothing) {
    char path[MAX_PATH + 1];
    size_t length = platform::executablePath(path, sizeof path);
    ASSERT_GT(length, 0u);
    std::string whole(path, length);
    EXPECT_NE(whole.find(".exe"), std::string::npos) << whole;
    EXPECT_NE(whole.find('\\'), std::string::npos) << whole;
    char small[8];
    EXPECT_EQ(platform::executablePath(small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(platform::lastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(Win32Service, OutsideTheServiceManagerThereIsNoServiceRun) {
    // Started by a test runner, not by the service control manager: the
    // dispatcher fails, and a status report has no handle to go to.
    EXPECT_FALSE(platform::serviceManagerPresent());
    EXPECT_FALSE(platform::serviceManagerPresent());  // asked once, answered the same
    EXPECT_EQ(platform::serviceNotify("X_MORVALEN_STATE=4\nX_MORVALEN_CHECKPOINT=0"), 0);
    // The stop control's wait: a wake that came first ends it at once.
    ASSERT_EQ(platform::stopSignalBlock(), 0);
    platform::stopSignalWake();
    EXPECT_EQ(platform::stopSignalWait(), platform::StopWake::Woken);
}

TEST(Win32Clock, TickCountMovesAndCanBeSubstituted) {
    uint32_t before = platform::tickCount();
    platform::sleepMs(20);
    EXPECT_GE(static_cast<uint32_t>(platform::tickCount() - before), 10u);
    platform::tickCountSubstitute([]() -> uint32_t { return 0xFFFFFFF0u; });
    EXPECT_EQ(platform::tickCount(), 0xFFFFFFF0u);
    platform::tickCountSubstitute(nullptr);
}

TEST(Win32Resources, TheServiceCarriesItsVersionAndMessageTable) {
    // morvalen.exe beside this test program.
    char path[MAX_PATH + 1];
    size_t length = platform::executablePath(path, sizeof path);
    ASSERT_GT(length, 0u);
    std::string exe(path, length);
    exe = exe.substr(0, exe.find_last_of('\\') + 1) + "morvalen.exe";

    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << exe;
    HRSRC table = FindResourceExA(module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(SizeofResource(module, table), 28u);
    const unsigned char expected[28] = {1, 0, 0, 0, 1, 0, 0, 0x40, 1, 0, 0, 0x40, 16, 0, 0, 0,
                                        12, 0, 0, 0, '%', '1', '\r', '\n', 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(LockResource(LoadResource(module, table)), expected, sizeof expected), 0);
    // The event log's own lookup: the message for the identifier, with the text inserted.
    const char* inserts[1] = {"Start Service"};
    char text[64] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, 0x40000001,
                             MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
                             reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
    EXPECT_GT(n, 0u);
    EXPECT_STREQ(text, "Start Service\r\n");
    FreeLibrary(module);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string info(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00080000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020000u);
    auto value = [&](const char* name) {
        char* found = nullptr;
        UINT foundSize = 0;
        std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
        if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&found), &foundSize)) return std::string();
        return std::string(found);
    };
    EXPECT_EQ(value("FileDescription"), "Orvanthe");
    EXPECT_EQ(value("ProductName"), "Orvanthe");
    EXPECT_EQ(value("InternalName"), "Morvalen");
    EXPECT_EQ(value("FileVersion"), "2, 0, 8, 0");
    EXPECT_EQ(value("ProductVersion"), "2, 0, 8, 0");
}
