// A scanner plug-in for the gateway's tests: libFakeWexlor.so exports
// WexlorGetScanner like libWexlor.so, and its scanner answers as the test
// scripts it through the control block (FakeWexlorGetControl, found with
// dlsym in the same loaded library).
//
// The scanner behaves like the real one where the gateway depends on it:
// Initialize answers 65535 while the engine runs; a failed ReloadDefs
// (any answer but 0 and 1) leaves the engine stopped, so scans answer 519
// until Initialize runs again; every object handed out is reference
// counted and counted in liveObjects until its last Release.
//
// A scan (DecomposeAndScanEx) calls the test's hook on the scanning thread
// with the callback; the hook fills the outcome (result code, findings,
// file name) and may call the callback as the plug-in would.
#pragma once

#include <stdint.h>

#include <atomic>

#include "scanner/wexlor_interface.h"

struct FakeScanItem {
    const char* names[4];  // object first, then its containers outward
    int32_t nameCount;
    const char* virusName;
    int32_t virusId;
    int32_t status;
};

struct FakeScanOutcome {
    int32_t code = WEXLOR_OK;      // answer of the scan
    bool makeResult = true;        // hand a result out (also with a failure)
    const char* fileName = "";     // the result's file name
    FakeScanItem items[16] = {};
    int32_t itemCount = 0;
};

typedef void (*FakeScanHook)(void* argument, const char* path, int32_t actionLevel,
                             IScanCallback* callback, FakeScanOutcome* outcome);

struct FakeWexlorControl {
    // Answers the test scripts.
    std::atomic<int32_t> getScannerResult{WEXLOR_OK};
    std::atomic<int32_t> initializeResult{WEXLOR_OK};
    std::atomic<int32_t> reloadResult{WEXLOR_DEFS_CURRENT};
    // A failed reload stops the engine (else the old engine goes on).
    std::atomic<bool> failedReloadStops{true};
    std::atomic<int32_t> defsInfoResult{WEXLOR_OK};
    std::atomic<int64_t> defsDate{0};
    std::atomic<uint32_t> defsRevision{0};
    std::atomic<uint32_t> dbInfo{0};
    FakeScanHook scanHook = nullptr;
    void* scanHookArgument = nullptr;

    // What the scanner saw.
    std::atomic<int> liveObjects{0};
    std::atomic<int> initializeCalls{0};
    std::atomic<int> reloadCalls{0};
    std::atomic<int> scanCalls{0};
    std::atomic<int> setLevelCalls{0};
    std::atomic<int32_t> lastLevel{-1};
    std::atomic<int32_t> lastActionLevel{-1};
    std::atomic<bool> engineRunning{false};
    char lastApplicationId[256] = {};
    char lastEngineConfigPath[256] = {};
    char lastTempDir[256] = {};
};

// The control block; reset non-zero first puts every field back to its start.
typedef FakeWexlorControl* (*FakeWexlorGetControlFunc)(int32_t reset);
#define FAKE_WEXLOR_CONTROL_NAME "FakeWexlorGetControl"
