// MD5FileHex: the MD5 digest of a whole file.
//
//   MD5FileHex   the file's digest as 32 lower-case hex digits
//
// Bad input: a path that cannot be opened, or a read error, leaves the
// caller's string empty (the disk file reports why). The file is read in
// pieces, so a large file never has to fit in memory.
#include "core/md5_file.h"

#include "core/disk_file.h"
#include "core/md5.h"

namespace {

const int kPiece = 64 * 1024;

}  // namespace

void MD5FileHex(const char* path, CVornString& out) {
    out.Clear();
    CVornDiskFile file(path, kFileReadOnly);
    if (!file.Open())
        return;
    CVornMD5 digest;
    CVornString piece(CVornString::kUnlocked);
    int n;
    while ((n = file.Read(piece, kPiece)) > 0) digest.Update(piece);
    file.Close();
    if (n == 0)
        digest.HexDigest(out);
}
