// CVornVersion: a dotted version number of one to four decimal parts
// ("2", "1.0", "1.0.3", "4.2.0.17"), as it appears in the header line of the
// data files the gateway rewrites itself (core/file_header.h).
//
// Thread safety: every operation holds the version's own lock, so one object
// may be shared between threads. Not copyable (it carries a lock).
#pragma once

#include <cstdint>

#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornVersion {
public:
    static constexpr int kMaxParts = 4;

    // Not valid, with an empty text, until Parse succeeds.
    CVornVersion();
    virtual ~CVornVersion();
    CVornVersion(const CVornVersion&) = delete;
    CVornVersion& operator=(const CVornVersion&) = delete;

    // Stores text (also when it is refused) and reads it: true, and valid,
    // when it is one to four groups of digits separated by single dots, each
    // group's value fitting in 32 bits. Refused: an empty text, other
    // characters, empty groups (two dots in a row, a leading or trailing
    // dot), five groups or more.
    bool Parse(const CVornString& text);
    bool Parse(const char* text);

    bool IsValid() const;

    // When valid, out = the text last given to Parse; returns IsValid().
    // Otherwise out is unchanged.
    bool GetText(CVornString& out) const;

private:
    mutable CVornLock m_Lock;
    unsigned char m_Valid;
    CVornString m_Text{CVornString::kUnlocked};  // guarded by m_Lock
    int32_t m_PartCount;
    int32_t m_Parts[kMaxParts];  // the first m_PartCount are meaningful
};
