// MD5FileHex: the MD5 digest (RFC 1321) of a whole file, as the gateway
// records it for quarantined files.
//
// The file is opened read-only as a CVornDiskFile, so the call waits for the
// file's path lock while another opener holds it, and passes on that lock's
// CVornException. Any thread may call it.
#pragma once

#include "core/vorn_string.h"

// out := the digest of the file's bytes as 32 lower-case hex digits. out is
// emptied first and stays empty when the file cannot be opened or a read
// fails (both reported by the file), so a partial read never passes for the
// file's digest.
void MD5FileHex(const char* path, CVornString& out);
