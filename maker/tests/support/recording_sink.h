#pragma once
// Test helpers of the decomposition component's tests.
//
//   RecordingSink      an IRavelEvents that records every call and answers
//                      each object's decisions from a table keyed by name
//   MakeTestArcEngine  a small archive format ("TESTARC") for walking
//                      containers without the real format engines
//   WriteTestArc       writes such an archive
//   ReadFile, WriteFile, RunCommand   small file and shell helpers
//   LoadFormatEngine   a format library's engine, loaded by file name from
//                      the build's program directory (null when not built)

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "maker/formats/format_engine.h"
#include "maker/rav_interfaces.h"

namespace ravtest {

struct Call {
    std::string kind;  // "enter", "object", "error", "objectError", "end"
    std::string name;
    int32_t type = 0;
    int32_t depth = 0;
    int32_t code = 0;
    std::string data;  // "object": the data file's bytes at the call
};

struct Decision {
    bool skip = false;              // onEnterObject: process 0
    bool abort = false;             // onObject: RAVERR_ABORT
    bool remove = false;            // onObject: word 3
    bool renameAncestor = false;    // onObject: mark the direct part, word 3, RAVERR_RENAME_REQUEST
    bool replace = false;           // onObject: write text, word 1
    bool replaceOnError = false;    // onObjectError: write text, word 1
    bool removeOnError = false;     // onObjectError: word 3
    std::string text = "removed\r\n";
    std::string newName;            // with replace: SetName
    std::string contentType;        // with replace: SetContentType
};

class RecordingSink : public IRavelEvents {
public:
    int32_t onObject(IRavObject* object, uint16_t* word, char* newDataFile, int32_t size,
                     int32_t* cont) override;
    int32_t onQuery(IRavObject*, int32_t* flag) override {
        *flag = 1;
        return 0;
    }
    int32_t onEnterObject(IRavObject* object, const char* name, int32_t* process) override;
    int32_t onError(IRavObject* object, int32_t error, int32_t value, int32_t* cont) override;
    int32_t onObjectEnd(IRavObject* object, uint16_t* word, char* buffer, int32_t size) override;
    int32_t onIdle() override { return 0; }
    int32_t onObjectError(IRavObject* object, int32_t error, uint16_t* word,
                          int32_t value) override;

    std::map<std::string, Decision> decisions;
    std::vector<Call> calls;
    // Optional: called by onObject for every object with a parent; returns
    // the decision to take (used by the engine tests to scan data files).
    std::function<void(IRavObject*, const std::string& dataFile, Decision&)> inspect;

    std::vector<std::string> Names(const std::string& kind) const;
    const Call* Find(const std::string& kind, const std::string& name) const;

private:
    static Call Describe(const char* kind, IRavObject* object, int32_t code);
};

// "TESTARC\n" then, per member, "<size> <name>\n" and size bytes.
void WriteTestArc(const std::string& path,
                  const std::vector<std::pair<std::string, std::string>>& members);
std::unique_ptr<maker::FormatEngine> MakeTestArcEngine(bool canReplace, bool canRemove);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// Runs a shell command; its standard output.
std::string RunCommand(const std::string& command);

// libRav2<library>.so, RavNew<word>Engine, RavDelete<deleteWord>Engine (from
// libRav2<deleteWord>.so). engine is null when the library is not built.
// The libraries stay loaded for the life of the test program.
struct LoadedEngine {
    IRavEngine* engine = nullptr;
    int32_t (*remove)(IRavEngine*) = nullptr;
};
LoadedEngine LoadFormatEngine(const std::string& library, const std::string& word,
                              const std::string& deleteWord);

}  // namespace ravtest
