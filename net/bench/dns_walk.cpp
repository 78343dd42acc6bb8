// The library's side of the DNS comparison that scripts/bench dns runs
// against a program on glibc's res_nquery (net/bench/dns_resnquery.c): look
// up the addresses of many distinct names, each once, from several threads,
// against one name server.
//
//   dns_walk <threads> <count> <suffix>
//
// The names are h0.<suffix> ... h<count-1>.<suffix>; the threads take them
// in turn from a shared counter. Each lookup is DnsLookupA (not
// authoritative), the call the rest of the system makes, and every name is
// new to the process, so no answer comes from the cache: each is a query on
// the wire, parsed and cached. The name servers come from the resolver
// configuration ($ZELORM_RESOLV_CONF names the bench's server). One lookup of
// "warm.<suffix>" before the clock starts reads the configuration and starts
// the resolver, as res_ninit does for the peer before its clock starts.
//
// Prints one line: "seconds S queries Q failed F maxrss K" (wall time of the
// lookups, lookups made, lookups without an address, peak resident size in
// KiB). Bad arguments: a usage line on standard error and exit status 2.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/dns_lookup.h"
#include "net/network_library.h"

namespace {

int Run(int threads, int count, const std::string& suffix) {
    {
        CVornHostAddress warm;
        DnsLookupA(CVornString(("warm." + suffix).c_str()), false, warm);
    }
    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = next++; i < count; i = next++) {
                const std::string name = "h" + std::to_string(i) + "." + suffix;
                CVornHostAddress host;
                if (DnsLookupA(CVornString(name.c_str()), false, host) != kDnsFound ||
                    host.GetAddressCount() == 0)
                    ++failed;
            }
        });
    }
    for (std::thread& w : workers) w.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("seconds %.6f queries %d failed %d maxrss %ld\n", seconds, count, failed.load(),
           usage.ru_maxrss);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && atoi(argv[1]) > 0 && atoi(argv[2]) > 0) {
        LibraryStartup();
        return Run(atoi(argv[1]), atoi(argv[2]), argv[3]);
    }
    fprintf(stderr, "usage: %s <threads> <count> <suffix>\n", argv[0]);
    return 2;
}
