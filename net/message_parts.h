// Message parts, keys and attachment messages: what CVornMailMessage (net/
// mail_message.h) offers on the structure its line parse has found.
//
// The part operations are members of CVornMailMessage, declared there and
// defined in net/message_parts.cpp:
//   GetPartCount   n, the parts of a multipart body besides the main body
//   GetPartInfo    content type, name and file name of part 0..n
//   GetPartSize    the message size (part 0) or a part's size (-1 while open)
//   IsAttachment   a part that is neither text nor a message, or is marked
//                  "attachment"
//   HasAttachment  any part (or a non-multipart main body) that is one
//   DecodePart     a part's content, decoded or not, into another message
//   GetUniqueKey   a key of letters and digits that identifies the message
// Part 0 is the main body; part i (1..n) is the i-th part of a multipart
// body in the order of its boundary lines. The part list ends with the
// record that the last boundary line opened, which is never counted, so a
// multipart body without its closing boundary does not count its last part.
//
// Nesting: the message parse follows the main boundary only, so a nested
// multipart is one part whose content holds the inner boundary lines, and a
// message/rfc822 attachment is one part whose content is the whole inner
// message. Nothing here descends by itself: the caller takes a level apart
// with DecodePart and MakeAttachmentMessage, one call per level, so no input
// can make this code recurse or keep more than one level in memory.
//
// Threads: every operation takes the message's lock (and the part list's
// own lock inside); DecodePart also takes the target's lock for each write.
#pragma once

#include "core/vorn_string.h"
#include "net/mail_message.h"

class CVornDiskFile;
class CVornRFC822Entity;

// Entities with a body of at least this many bytes become messages in a
// temporary file; smaller ones are held in memory.
constexpr int kAttachmentFileThreshold = 32769;

// A new message, open for writing, holding the entity's header block, the
// empty line and its body; its part records are complete when it returns.
// A body smaller than kAttachmentFileThreshold makes a memory message; a
// larger one a disk message (kUnbounded) in a new temporary file in tempDir,
// named "om" + counter + "aa" (counted up while taken) + ".tmp". tempFile
// (in and out) is the caller's: the object it holds on entry is deleted
// before a new temporary file is made, and the new file's object is stored
// there (it removes the file when deleted, so the caller deletes the message
// first, then the file object). The caller owns the message. Null when the
// entity is not open, has no header block, the temporary file cannot be made
// or a read or write fails. The entity's position is restored.
CVornMailMessage* MakeAttachmentMessage(CVornRFC822Entity& entity, const CVornString& tempDir,
                                        int counter, CVornDiskFile*& tempFile);
