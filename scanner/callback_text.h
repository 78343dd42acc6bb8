// CCallbackText: the text buffer the plug-in hands to an IScanCallback
// (GetDeletedText, GetBlockedText).
//
//   CCallbackText::Buffer, Size   what the callback is given
//   CCallbackText::Text           the answer, always a terminated text
//
// The buffer is zeroed before the call and cut at its last byte when the
// answer is read, so a callback that writes nothing gives "", and one that
// fills every byte without a terminating zero gives at most
// WEXLOR_TEXT_SIZE - 1 characters instead of a read past the buffer.
#pragma once

#include "scanner/wexlor_interface.h"

class CCallbackText {
public:
    CCallbackText() = default;
    CCallbackText(const CCallbackText&) = delete;
    CCallbackText& operator=(const CCallbackText&) = delete;

    char* Buffer() { return m_Text; }
    int32_t Size() const { return WEXLOR_TEXT_SIZE; }
    // Terminates the buffer at its last byte and returns it.
    const char* Text()
    {
        m_Text[WEXLOR_TEXT_SIZE - 1] = '\0';
        return m_Text;
    }

private:
    char m_Text[WEXLOR_TEXT_SIZE] = {};
};
