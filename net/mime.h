// MIME helpers: the media type of a file extension, the parse of a MIME
// part's header block, media-type patterns, the base64 and quoted-printable
// body decoders, and the decoder of RFC 2047 encoded words in header texts.
//
// Threads: the functions use only their arguments (and the constant table
// g_MimeTypes) and may run on any number of threads at once; the CVornString
// arguments are used under their own locks.
//
// Bad input never fails these functions: bytes outside an alphabet are
// skipped, malformed escapes are dropped or kept as the comments say, and
// nothing is read past the input or written past an output's size.
#pragma once

#include "core/vorn_string.h"

// One row of the extension table: the extension in lower case without the
// dot, and its media type. The table ends with a row of two null pointers and
// is searched from the first row, so of two rows with the same extension only
// the first takes effect.
struct MimeTypeRow {
    const char* m_Extension;
    const char* m_MediaType;
};
extern const MimeTypeRow g_MimeTypes[];

// type = the media type of the extension (compared in lower case, exactly
// with the table's extensions; no dot in front); "application/octet-stream"
// when no row matches, also for a null or empty extension.
void ContentTypeForFile(const char* extension, CVornString& type);

// Parses the header lines of a MIME entity (lines at CR / LF, a field's name
// before its first ':'). Before it starts, charset becomes "us-ascii",
// encoding "7bit", name and boundary empty; contentType, fileName and
// disposition keep the caller's values unless a field sets them.
//   Content-Type               contentType = the media type; parameters
//                              "charset", "boundary" (stored as "--" + value,
//                              the line that separates parts) and "name"
//   Content-Transfer-Encoding  encoding
//   Content-Disposition        disposition; parameters "filename", "name"
// Field and parameter names compare without regard to case; parameter values
// lose their quotes; empty values are skipped; later fields override earlier
// ones. A content type of just "text" becomes "text/plain".
void ParsePartHeaders(const CVornString& headerText, CVornString& contentType, CVornString& charset,
                      CVornString& name, CVornString& fileName, CVornString& disposition,
                      CVornString& encoding, CVornString& boundary);

// Compares main type and subtype (split at the first '/') separately and
// without regard to case; an empty or "*" half on either side matches
// anything. So an empty type matches every pattern, "text/" every text type.
// A null pattern counts as empty.
bool MimeTypeMatches(const CVornString& type, const char* pattern);

// out = the bytes of every complete group of four base64 characters of text
// ('=' counts as a character of value 0 and shortens its group's output);
// bytes outside the alphabet are skipped. rest = the characters of an
// unfinished last group, for the caller to put in front of the next text.
// out and rest are emptied first and may not be the same string as text.
// Always true.
bool DecodeBase64(const CVornString& text, CVornString& out, CVornString& rest);

// Appends the decoded text to out: lines at LF (empty lines are dropped), each
// line without its trailing blanks, tabs, CR and LF, "=XY" read as a
// hexadecimal byte, each line followed by CR LF unless it ends in '=' (a soft
// line break). A '=' with fewer than two bytes after it on its line is
// dropped; a '=' followed by bytes that are not both hexadecimal digits is
// kept as it stands, together with those bytes. out may not be text.
// Always true.
bool DecodeQuotedPrintable(const CVornString& text, CVornString& out);

// Charset codes that DecodeEncodedWords reports (names without regard to case):
// "US-ASCII" and any unknown name 2, "ISO-8859-n" (n = 1 to 15) n + 2,
// "ISO-2022-JP" 18; 0 when no word was decoded.
enum : int {
    kCharsetNone = 0,
    kCharsetUsAscii = 2,
    kCharsetIso8859First = 3,  // ISO-8859-1; ISO-8859-n is n + 2
    kCharsetIso2022jp = 18,
};

// Decodes the RFC 2047 encoded words ("=?charset?B|Q?text?=") of a header
// text into out, which holds outSize bytes. False, nothing written, when
// outSize is 0 or out is null; otherwise out always ends with a NUL and holds
// at most outSize - 1 bytes of text (a piece that does not fit is left out,
// silently). A null text counts as empty.
// Blank, tab, CR and LF between two decoded words are dropped; elsewhere they
// stay. A malformed candidate, or a word whose text is not valid for its
// letter, is handled as the .cpp describes: the raw text stays, or the word
// contributes nothing. Decoded bytes are passed on unchanged: converting the
// charset (ISO-2022-JP with CVornCodePage::Iso2022jpToSjis) is the caller's
// business, guided by *charsetCode.
// charsetCode (may be null): 0, then the code of each decoded word's charset.
// encoding (may be null): 'Q', then the letter of each candidate that reaches
// its letter. allowDoubleEquals: in "==" the first '=' is plain text and the
// second may start a word.
bool DecodeEncodedWords(char* out, unsigned outSize, const char* text, int* charsetCode,
                        char* encoding, bool allowDoubleEquals);

// ---- The decoders of one encoded word's text (length bytes at text, which
// need not be NUL-terminated), writing at most room - 1 bytes to out (room for
// a NUL is kept; no NUL is written). They return the number of bytes written,
// or -1 when the text is not valid for the letter.
//   'Q': "=XY" (hex digits, either case) a byte, '_' a blank, other bytes
//        themselves; '=' before a non-hex byte: -1; a '=' without two bytes
//        after it at the end is dropped; output stops when room runs out.
//   'B': base64 in groups of four, blanks, tabs, CR and LF skipped; any other
//        byte, a group with more than two '=', or output that does not fit:
//        -1; an unfinished last group is dropped.
int DecodeQWord(const char* text, int length, char* out, int room);
int DecodeBWord(const char* text, int length, char* out, int room);

// Letters, digits, '+', '/' and '='.
bool IsBase64Char(unsigned char c);
// Decodes four base64 characters into out (3 bytes, 2 with one '=', 1 with
// two); *count receives the number. False when the group holds more than two
// '=' or a byte that is not a base64 character.
bool decodeBase64Quad(const char* four, unsigned char* out, int* count);
