// What the virus engine says of one finding, read the same way by the event
// sink and the scanner's whole-file scan.
//
//   CVirusHandle   frees the engine's virus handle on every path
//   VirusInfo      one information item as text ("" when refused)
//   VirusIdOf      the decimal virus id as a 32-bit number
//
// A text longer than the first buffer (260 bytes) is read again at the size
// the engine asks for, up to 64 KiB; beyond that, or on any other refusal,
// the item is "". The id of text without digits is 0; ids outside 32 bits
// are clamped.
#pragma once

#include <stdint.h>

#include <string>

#include "maker/zel_engine.h"

class CVirusHandle {
public:
    explicit CVirusHandle(const ZelEngineApi& api) : m_Api(api) {}
    ~CVirusHandle()
    {
        if (m_Virus)
            m_Api.FreeVirusHandle(m_Virus);
    }
    CVirusHandle(const CVirusHandle&) = delete;
    CVirusHandle& operator=(const CVirusHandle&) = delete;
    ZELVIRUS* Out() { return &m_Virus; }
    ZELVIRUS Get() const { return m_Virus; }

private:
    const ZelEngineApi& m_Api;
    ZELVIRUS m_Virus = nullptr;
};

std::string VirusInfo(const ZelEngineApi& api, ZELVIRUS virus, int32_t item);
int32_t VirusIdOf(const std::string& text);
