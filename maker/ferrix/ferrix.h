#pragma once
// The quarantine-server library ("ferrix32"): libferrix32.so. Sends one
// quarantine package (maker/vaultix/vaultix.h) to the site's quarantine
// server.
//
//   SendFileToQServer     send a package; 0 when the server took it
//   FerrixSetIdleTimeout  (tests) how long a wait without progress may last
//
// Protocol: one HTTP/1.0 request per package, so that any web server can
// take packages:
//   POST /quarantine HTTP/1.0
//   Host: <server>:<port>
//   Content-Type: application/octet-stream
//   Content-Length: <package size>
//   Connection: close
// followed by the package's bytes. The server's status line decides: a
// status 200 to 299 means the package was delivered; any other answer, a
// closed connection or a status line that is not HTTP means it was not.
// Nothing after the status line is read. Header and status lines hold no
// text of the package.
//
// Waiting: the name is resolved with getaddrinfo (a numeric address at once;
// a host name within the system resolver's own time-outs). Connecting,
// sending and reading the answer each wait in slices of at most one second;
// between slices the abort callback is asked with status 2 ("waiting on the
// network"), and the transfer stops at once when it answers 0. A wait in
// which nothing moves for the idle time-out (60 s by default) ends the
// transfer as failed, and the whole answer must arrive within it after the
// package was sent. So a stalled server never holds the caller for ever.
//
// Results: 0 delivered; the FERRIX_ERR_* values below otherwise.
//
// Threads: any thread may send; sends are independent of one another.

typedef int (*FerrixAbortCallback)(int status);

#define FERRIX_OK 0
#define FERRIX_ERR_ARGUMENT 1  // null path or server, port outside 1..65535, reserved not 0
#define FERRIX_ERR_PACKAGE 2   // the package cannot be opened or read
#define FERRIX_ERR_RESOLVE 3   // the server's name does not resolve
#define FERRIX_ERR_CONNECT 4   // no address of the server accepted the connection
#define FERRIX_ERR_TRANSFER 5  // the connection broke while sending or reading
#define FERRIX_ERR_TIMEOUT 6   // nothing moved for the idle time-out
#define FERRIX_ERR_REFUSED 7   // the server answered, but not with a 2xx status
#define FERRIX_ERR_ABORTED 8   // the abort callback answered 0

// The status passed to the abort callback while a transfer waits.
#define FERRIX_STATUS_WAITING 2

extern "C" {

// Sends the package at packagePath to server (a host name or an IPv4 or
// IPv6 address) on port. reserved must be 0. abortCallback may be null.
int SendFileToQServer(const char* packagePath, const char* server, int reserved, int port,
                      FerrixAbortCallback abortCallback);

// Sets the idle time-out of later sends (seconds, at least 1; the default
// is restored by 0). For tests, so that a stalled server costs seconds.
void FerrixSetIdleTimeout(int seconds);

}  // extern "C"
