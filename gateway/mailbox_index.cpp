// The index of a mailbox: the line format and the index file handling of
// CMailbox (load, create, rewrite, rebuild from the mailbox file, the
// consistency check and the reload of a changed index).
//
// Bad input: a damaged index (header, field count, bounds) is reported
// (event 74) and gives state kBoxCorrupt, which Open answers by a rebuild;
// a message of the mailbox file that cannot be parsed ends the rebuild
// there. File errors are reported with the file events of core/vorn_file.h
// and give 1 (or kBoxNoIndex for an index that cannot be made).
//
// Threads: every CMailbox member here runs on the thread holding the
// mailbox open, under its named mutex.
#include "gateway/mailbox_index.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "core/clock.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/vorn_file.h"
#include "gateway/mailbox.h"
#include "gateway/spool_files.h"
#include "net/mail_message.h"
#include "platform/file_ops.h"
#include "platform/file_replace.h"

namespace {

enum : int {
    kMsgIndexDamaged = 74,     // warning: owner, index path
    kMsgIndexStale = 455,      // warning: owner, mailbox path
    kMsgIndexSizeWrong = 456,  // warning: owner, mailbox path
};
constexpr int kEventError = 1;
constexpr int kEventWarning = 2;

constexpr char kFieldSeparator = '\x1C';
constexpr int kIndexFields = 11;
// An index older than the mailbox file by more than this is stale.
constexpr time_t kStaleSeconds = 60;

// A number field: atol of the field's bytes.
long NumberOf(const char* text, size_t length) {
    std::string copy(text, length);
    return atol(copy.c_str());
}

void AppendText(std::string& out, const std::string& text) {
    std::string bounded = text;
    BoundIndexText(bounded);
    out += bounded;
}

}  // namespace

// ---------------------------------------------------------------- line format

std::string FormatIndexHeader(int sortOrder, const char* lineEnd) {
    return "# 1 " + std::to_string(sortOrder) + lineEnd;
}

bool ParseIndexHeader(const char* line, size_t length, int* sortOrder) {
    if (length < 4 || memcmp(line, "# 1 ", 4) != 0)
        return false;
    *sortOrder = static_cast<int>(NumberOf(line + 4, length - 4));
    return true;
}

void BoundIndexText(std::string& text) {
    if (text.size() > kMaxIndexText)
        text.resize(kMaxIndexText);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\0' || c == kFieldSeparator)
            c = ' ';
    }
}

void FormatIndexLine(const MailboxIndexEntry& entry, std::string& out) {
    const char sep = kFieldSeparator;
    out += std::to_string(entry.m_Flags);
    out += sep;
    AppendText(out, entry.m_From);
    out += sep;
    AppendText(out, entry.m_Sender);
    out += sep;
    AppendText(out, entry.m_To);
    out += sep;
    AppendText(out, entry.m_DateText);
    out += sep;
    AppendText(out, entry.m_Subject);
    out += sep;
    out += std::to_string(static_cast<long long>(entry.m_Date));
    out += sep;
    AppendText(out, entry.m_Uid);
    out += sep;
    out += std::to_string(entry.m_Offset);
    out += sep;
    out += std::to_string(entry.m_Length);
    out += sep;
    out += std::to_string(entry.m_Hidden);
    out += "\r\n";
}

bool ParseIndexLine(const char* line, size_t length, MailboxIndexEntry* entry) {
    if (length > kMaxIndexLine)
        return false;
    const char* fields[kIndexFields];
    size_t lengths[kIndexFields];
    int count = 0;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && line[i] != kFieldSeparator)
            continue;
        if (count == kIndexFields)
            return false;  // a twelfth field
        fields[count] = line + start;
        lengths[count] = i - start;
        ++count;
        start = i + 1;
    }
    if (count != kIndexFields)
        return false;
    for (int number : {0, 6, 8, 9, 10}) {
        if (lengths[number] >= kMaxIndexNumber)
            return false;
    }
    long offset = NumberOf(fields[8], lengths[8]);
    long size = NumberOf(fields[9], lengths[9]);
    // The mailbox file is read through int offsets: an entry outside them
    // cannot be a message of it.
    if (offset < 0 || offset > INT_MAX || size < 1 || size > INT_MAX - offset)
        return false;
    entry->m_Flags = static_cast<int>(NumberOf(fields[0], lengths[0]));
    entry->m_From.assign(fields[1], lengths[1]);
    entry->m_Sender.assign(fields[2], lengths[2]);
    entry->m_To.assign(fields[3], lengths[3]);
    entry->m_DateText.assign(fields[4], lengths[4]);
    entry->m_Subject.assign(fields[5], lengths[5]);
    entry->m_Date = static_cast<time_t>(NumberOf(fields[6], lengths[6]));
    entry->m_Uid.assign(fields[7], lengths[7]);
    entry->m_Offset = offset;
    entry->m_Length = size;
    entry->m_Hidden = static_cast<int>(NumberOf(fields[10], lengths[10]));
    return true;
}

// ---------------------------------------------------------------- index file

int CMailbox::loadIndex() {
    m_Entries.clear();
    const char* path = m_IndexPath.c_str();
    if (!platform::PathExists(path))
        return kBoxNoIndex;
    CVornDiskFile file(path, kFileReadOnly | kFileNoPathLock);
    if (!file.Open())
        return kBoxNoIndex;
    std::vector<char> buffer(kMaxIndexLine);
    const int size = static_cast<int>(buffer.size());
    auto damaged = [&] {
        file.Close();
        LogEventStrStrInt(kMsgIndexDamaged, kEventWarning, m_Owner.c_str(), path, 0);
        return kBoxCorrupt;
    };
    // One line into the buffer: its length without the line end, -1 at the
    // end of the file, -2 for a read error or a line over the bound.
    auto readLine = [&]() -> long {
        int n = file.ReadLine(buffer.data(), size, "\n");
        if (n == 0)
            return -1;
        if (n < 0 || (n == size && buffer[size - 1] != '\n'))
            return -2;
        size_t length = static_cast<size_t>(n);
        if (buffer[length - 1] == '\n')
            --length;
        if (length > 0 && buffer[length - 1] == '\r')
            --length;
        return static_cast<long>(length);
    };

    long length = readLine();
    int sortOrder = kDefaultSortOrder;
    if (length < 0 || !ParseIndexHeader(buffer.data(), static_cast<size_t>(length), &sortOrder))
        return damaged();
    m_SortOrder = sortOrder;
    while ((length = readLine()) != -1) {
        MailboxIndexEntry entry;
        if (length < 0 || !ParseIndexLine(buffer.data(), static_cast<size_t>(length), &entry))
            return damaged();
        m_Entries.push_back(std::move(entry));
    }
    file.Close();
    m_IndexTime = RefreshNow();
    m_IndexStamp = platform::GetFileStamp(path);
    return kBoxLoaded;
}

int CMailbox::createIndex() {
    const char* path = m_IndexPath.c_str();
    int fd = platform::OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        LogEventStrInt(kMsgFileOpenFailed, kEventError, path, errno);
        return kBoxNoIndex;
    }
    std::string header = FormatIndexHeader(m_SortOrder, "\n");
    bool written = platform::WriteAll(fd, header.data(), header.size(), nullptr);
    int error = errno;
    if (!platform::CloseFile(fd)) {
        LogEventStrInt(kMsgFileCloseFailed, kEventError, path, errno);
        return 1;
    }
    if (!written) {
        LogEventStrInt(kMsgFileWriteFailed, kEventError, path, error);
        return 1;
    }
    return 0;
}

int CMailbox::writeIndex() {
    if (!IsOpen())
        return 1;
    std::string text = FormatIndexHeader(m_SortOrder, "\r\n");
    for (const MailboxIndexEntry& entry : m_Entries) FormatIndexLine(entry, text);

    // The index keeps its name throughout: a reader (or a crash) never
    // finds it missing.
    if (!ReplaceFileKeepingOld(m_IndexPath, text, ".new", ".old"))
        return 1;
    m_IndexTime = RefreshNow();
    m_IndexStamp = platform::GetFileStamp(m_IndexPath.c_str());
    return 0;
}

int CMailbox::rebuildIndex() {
    m_Entries.clear();
    if (createIndex() != 0)
        return 1;
    try {
        long offset = 0;
        while (offset < INT_MAX) {
            CVornMailMessage message(m_Path.c_str(), static_cast<int>(offset), 0,
                                     CVornMailMessage::kParseOnOpen, CVornMailMessage::kModeRead);
            if (message.Open() != 0)
                break;
            MailboxIndexEntry entry;
            fillEntry(entry, message, kMailboxUnread);
            // The sender is the one its separator line names.
            CVornString sender(CVornString::kUnlocked);
            if (message.GetSender(sender) == 0) {
                entry.m_Sender.assign(sender.CStr(), static_cast<size_t>(sender.Length()));
                BoundIndexText(entry.m_Sender);
            }
            message.Close();
            if (entry.m_Length <= 0)
                break;
            offset += entry.m_Length;
            m_Entries.push_back(std::move(entry));
        }
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return writeIndex() == 0 ? 0 : 1;
}

bool CMailbox::checkConsistency() {
    platform::FileInfo box;
    time_t boxTime = 0;
    long long boxSize = 0;
    if (platform::StatPath(m_Path.c_str(), &box)) {
        boxTime = box.modTime;
        boxSize = box.size;
    }
    platform::FileInfo index;
    time_t indexTime = platform::StatPath(m_IndexPath.c_str(), &index) ? index.modTime : 0;
    if (boxTime > indexTime + kStaleSeconds) {
        LogEventStrStrInt(kMsgIndexStale, kEventWarning, m_Owner.c_str(), m_Path.c_str(), 0);
    } else {
        long long sum = 0;
        for (const MailboxIndexEntry& entry : m_Entries) sum += entry.m_Length;
        if (sum == boxSize)
            return false;
        LogEventStrStrInt(kMsgIndexSizeWrong, kEventWarning, m_Owner.c_str(), m_Path.c_str(), 0);
    }
    rebuildIndex();
    return true;
}

int CMailbox::reloadIfChanged() {
    if (platform::GetFileStamp(m_IndexPath.c_str()) != m_IndexStamp)
        return loadIndex();
    return m_State;
}
