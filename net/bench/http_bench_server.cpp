// The web server that net/bench/http_bench.sh measures: serves the files of
// a directory under "/static" and a small page from a handler under
// "/hello", on 127.0.0.1 at a port of the system's choosing, until it is
// killed. Prints "port N" on standard output once it listens.
//
//   http_bench_server <directory> <spool directory> [connection workers [address cap]]
//
// Every benchmark client comes from 127.0.0.1: the address cap (the workers
// one client address may hold; default the framework's quarter) is raised
// to the benchmark's concurrency by http_bench.sh.
// The spool directory takes request bodies; the path locks of temporary
// files go where ZELORM_LOCK_DIR says.
// Bad arguments: a usage line on standard error and exit status 2; a server
// that cannot start: exit status 1.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "core/threads.h"
#include "net/http_server.h"
#include "net/network_library.h"

namespace {

void Hello(CVornHTTPRequest* request) {
    request->Write("Content-Type: text/html\r\n\r\n<html><body><p>Hello.</p></body></html>\n");
    request->Finish();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        fprintf(stderr,
                "usage: %s <directory> <spool directory> [connection workers [address cap]]\n",
                argv[0]);
        return 2;
    }
    int workers = argc >= 4 ? atoi(argv[3]) : 8;
    int cap = argc == 5 ? atoi(argv[4]) : 0;
    if (workers < 1 || cap < 0) {
        fprintf(stderr, "%s: the worker count must be above 0 and the cap not below 0\n", argv[0]);
        return 2;
    }
    LibraryStartup();

    static CVornHTTPServer server("ZELORMHTTP", argv[2]);
    server.AddDirectory("/static", argv[1]);
    server.AddHandler("/hello", &Hello);
    server.SetAddressCap(cap);
    int loopback = 0;
    ParseDottedQuad(CVornString("127.0.0.1"), &loopback);
    if (!server.Start(workers, 0, CVornHostAddress(static_cast<uint32_t>(loopback), 0))) {
        fprintf(stderr, "%s: the server did not start\n", argv[0]);
        return 1;
    }
    CVornHostAddress own;
    server.GetOwnHost(own);
    printf("port %u\n", own.GetPort());
    fflush(stdout);
    for (;;) SleepSeconds(3600);
}
