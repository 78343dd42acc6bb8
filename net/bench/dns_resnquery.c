/* The peer of the DNS comparison (scripts/bench dns): glibc's stub resolver
 * doing the work of net/bench/dns_walk.cpp. Each thread has a resolver state
 * of its own (res_ninit), pointed at the one name server 127.0.0.1:<port>,
 * and asks res_nquery for the A records of the names it takes from a shared
 * counter, finding the address records of each reply (ns_initparse,
 * ns_parserr), as a caller must.
 *
 *   dns_resnquery <threads> <count> <suffix> <port>
 *
 * Names: h0.<suffix> ... h<count-1>.<suffix>, each asked once. One query of
 * "warm.<suffix>" before the clock starts, as dns_walk does.
 *
 * Prints one line: "seconds S queries Q failed F maxrss K" (wall time of the
 * queries, queries made, queries without an address, peak resident size in
 * KiB). Bad arguments: a usage line on standard error and exit status 2.
 */
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <pthread.h>
#include <resolv.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

static int g_count;
static const char* g_suffix;
static unsigned short g_port;
static atomic_int g_next;
static atomic_int g_failed;

static void point_at_server(res_state state) {
    memset(state, 0, sizeof *state);
    res_ninit(state);
    state->nscount = 1;
    state->nsaddr_list[0].sin_family = AF_INET;
    state->nsaddr_list[0].sin_port = htons(g_port);
    state->nsaddr_list[0].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    state->retrans = 4;
    state->retry = 2;
}

/* The number of A records of the answer section; -1 when there is no reply. */
static int ask(res_state state, const char* name) {
    unsigned char answer[NS_PACKETSZ];
    int n = res_nquery(state, name, ns_c_in, ns_t_a, answer, sizeof answer);
    if (n < 0)
        return -1;
    ns_msg msg;
    if (ns_initparse(answer, n, &msg) < 0)
        return -1;
    int addresses = 0;
    for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) == 0 && ns_rr_type(rr) == ns_t_a &&
            ns_rr_rdlen(rr) == 4) {
            ++addresses;
        }
    }
    return addresses;
}

static void* worker(void* unused) {
    (void)unused;
    struct __res_state state;
    point_at_server(&state);
    char name[NS_MAXDNAME];
    for (int i = atomic_fetch_add(&g_next, 1); i < g_count; i = atomic_fetch_add(&g_next, 1)) {
        snprintf(name, sizeof name, "h%d.%s", i, g_suffix);
        if (ask(&state, name) <= 0)
            atomic_fetch_add(&g_failed, 1);
    }
    res_nclose(&state);
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 5 || atoi(argv[1]) <= 0 || atoi(argv[2]) <= 0 || atoi(argv[4]) <= 0 ||
        atoi(argv[4]) > 65535) {
        fprintf(stderr, "usage: %s <threads> <count> <suffix> <port>\n", argv[0]);
        return 2;
    }
    int threads = atoi(argv[1]);
    g_count = atoi(argv[2]);
    g_suffix = argv[3];
    g_port = (unsigned short)atoi(argv[4]);

    struct __res_state warm;
    point_at_server(&warm);
    char name[NS_MAXDNAME];
    snprintf(name, sizeof name, "warm.%s", g_suffix);
    ask(&warm, name);
    res_nclose(&warm);

    pthread_t* ids = calloc((size_t)threads, sizeof *ids);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int t = 0; t < threads; ++t) pthread_create(&ids[t], NULL, worker, NULL);
    for (int t = 0; t < threads; ++t) pthread_join(ids[t], NULL);
    clock_gettime(CLOCK_MONOTONIC, &end);
    free(ids);

    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("seconds %.6f queries %d failed %d maxrss %ld\n",
           (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9,
           g_count, atomic_load(&g_failed), usage.ru_maxrss);
    return 0;
}
