// The port test and the install mutex of libBramlet.so.
//
//   PortTaken          bind and listen on a port of every local address, then close
//   CreateZELGWMutex   take "ZELGW_INSTALL_MUTEX" for the calling thread
//   ReleaseZELGWMutex  give it up
//
// The port test never leaves a socket open: every path closes it before
// returning. The mutex is the platform's named mutex (a lock file in the
// lock directory), so it is shared with every other process and ends with
// its holder.
#include <errno.h>

#include "install/bramlet/bramlet.h"
#include "platform/named_mutex.h"
#include "platform/sockets.h"

namespace {

constexpr const char* kInstallMutexName = "ZELGW_INSTALL_MUTEX";
// As the gateway's listeners ask for (the kernel lowers it).
constexpr int kListenBacklog = 10000;

// The held install mutex; none at load. Never freed at unload: like a
// handle the library never closed, the mutex stays with the process.
platform::NamedMutex* g_InstallMutex = nullptr;

}  // namespace

int PortTaken(int port) {
    if (port < 1 || port > 65535)
        return 1;
    int fd = platform::SocketCreate(platform::SocketType::Stream);
    if (fd < 0)
        return 1;
    // As the gateway listens: a port whose old connections linger in
    // TIME_WAIT is free for it, one with a listener is not.
    bool listening = platform::SocketSetReuseAddress(fd) == 0 &&
                     platform::SocketBind(fd, 0, static_cast<uint16_t>(port)) == 0 &&
                     platform::SocketListen(fd, kListenBacklog) == 0;
    platform::SocketClose(fd);
    return listening ? 0 : 1;
}

int CreateZELGWMutex(void) {
    // One handle per library: a second call must not lose the first.
    if (g_InstallMutex != nullptr)
        return -1;
    auto* mutex = new platform::NamedMutex;
    if (!mutex->Open(kInstallMutexName)) {
        delete mutex;
        return 1;
    }
    const int r = mutex->TryAcquire();
    if (r == platform::kMutexAcquired || r == platform::kMutexAbandoned) {
        g_InstallMutex = mutex;
        return 0;
    }
    delete mutex;
    return r == platform::kMutexTimedOut ? -1 : 1;
}

int ReleaseZELGWMutex(void) {
    if (g_InstallMutex == nullptr)
        return 0;
    // A thread other than the creator cannot release it; closing the handle
    // then leaves it to end with that thread, as the owner's end would.
    (void)g_InstallMutex->Release();
    delete g_InstallMutex;
    g_InstallMutex = nullptr;
    return 1;
}
