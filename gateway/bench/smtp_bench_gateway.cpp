// smtp_bench_gateway: the gateway program ("zelorm") as the SMTP benchmark
// runs it (gateway/bench/smtp_compare.sh, scripts/bench smtp). It is the
// same program in every respect but one: the SMTP server's per-address cap
// is raised to ZELORM_BENCH_ADDRESS_CAP as soon as the server object
// exists, because every benchmark session comes from 127.0.0.1 and the
// default cap (a quarter of the session workers) would hold the load to a
// quarter of the sessions. The benchmark says so beside its figures, as
// Postfix exempts its own networks from its client limits.
//
// Bad input: a cap that is not a positive number leaves the default cap.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "gateway/service_control.h"
#include "gateway/service_startup.h"
#include "gateway/smtp_server.h"

int main(int argc, char** argv) {
    const char* text = std::getenv("ZELORM_BENCH_ADDRESS_CAP");
    int cap = text ? std::atoi(text) : 0;
    if (cap > 0) {
        // The program takes SIGINT and SIGTERM on one thread of its own;
        // this helper must not take them first, so it starts with them
        // blocked, as every later thread does.
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        std::thread([cap] {
            // Start-up makes the server object before it starts listening;
            // the cap may be set at any time, once.
            for (int i = 0; i < 6000; ++i) {
                SMTP* server = std::atomic_ref<SMTP*>(g_SMTPServer).load();
                if (server != nullptr) {
                    server->SetAddressCap(cap);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }).detach();
    }
    return ZelormMain(argc, argv);
}
