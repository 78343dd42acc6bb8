// Test helpers of the decomposition component: a recording sink, a small
// archive format and file helpers. See recording_sink.h.

#include "maker/tests/support/recording_sink.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "maker/rav_files.h"

namespace ravtest {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

LoadedEngine LoadFormatEngine(const std::string& library, const std::string& word,
                              const std::string& deleteWord) {
    LoadedEngine loaded;
    const std::string bin = ZELORM_BIN_DIR;
    void* lib = dlopen((bin + "/libRav2" + library + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    void* deleteLib =
        dlopen((bin + "/libRav2" + deleteWord + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib || !deleteLib) return loaded;
    auto create = reinterpret_cast<int32_t (*)(IRavEngine**)>(
        dlsym(lib, ("RavNew" + word + "Engine").c_str()));
    loaded.remove = reinterpret_cast<int32_t (*)(IRavEngine*)>(
        dlsym(deleteLib, ("RavDelete" + deleteWord + "Engine").c_str()));
    if (!create || !loaded.remove || create(&loaded.engine) != 0) loaded.engine = nullptr;
    return loaded;
}

Call RecordingSink::Describe(const char* kind, IRavObject* object, int32_t code) {
    Call call;
    call.kind = kind;
    char buffer[RAV_PATH_SIZE];
    object->GetName(buffer, sizeof buffer);
    call.name = buffer;
    object->GetType(&call.type);
    object->GetDepth(&call.depth);
    call.code = code;
    return call;
}

int32_t RecordingSink::onEnterObject(IRavObject* object, const char*, int32_t* process) {
    Call call = Describe("enter", object, 0);
    calls.push_back(call);
    auto it = decisions.find(call.name);
    if (it != decisions.end() && it->second.skip) *process = 0;
    return 0;
}

static void WriteText(IRavObject* object, const Decision& d) {
    char file[RAV_PATH_SIZE];
    object->GetDataFile(file, sizeof file);
    WriteFile(file, d.text);
    if (!d.newName.empty()) object->SetName(d.newName.c_str(), 1);
    if (!d.contentType.empty()) object->SetContentType(d.contentType.c_str(), 1);
}

int32_t RecordingSink::onObject(IRavObject* object, uint16_t* word, char* newDataFile,
                                int32_t, int32_t* cont) {
    *word = 0;
    newDataFile[0] = '\0';
    *cont = 1;
    Call call = Describe("object", object, 0);
    char file[RAV_PATH_SIZE];
    object->GetDataFile(file, sizeof file);
    call.data = ReadFile(file);
    calls.push_back(call);
    Decision d;
    auto it = decisions.find(call.name);
    if (it != decisions.end()) d = it->second;
    IRavObject* parent = nullptr;
    object->GetParent(&parent);
    if (inspect && parent) inspect(object, file, d);
    if (d.abort) return RAVERR_ABORT;
    if (d.replace) {
        WriteText(object, d);
        *word = 1;
    } else if (d.remove) {
        *word = 3;
    } else if (d.renameAncestor) {
        // Mark the outermost ancestor below the top, as the scanner's sink does
        // for an object its container cannot drop.
        IRavObject* mark = nullptr;
        for (IRavObject* a = parent; a;) {
            IRavObject* up = nullptr;
            a->GetParent(&up);
            if (up) mark = a;
            a = up;
        }
        if (mark) {
            static char value[] = "Test.Virus";
            mark->SetProperty("RAVERR_RENAME_ANCESTOR", value);
        }
        *word = 3;
        return mark ? RAVERR_RENAME_REQUEST : 0;
    }
    return 0;
}

int32_t RecordingSink::onError(IRavObject* object, int32_t error, int32_t, int32_t* cont) {
    calls.push_back(Describe("error", object, error));
    *cont = 1;
    return 0;
}

int32_t RecordingSink::onObjectEnd(IRavObject* object, uint16_t* word, char* buffer, int32_t) {
    calls.push_back(Describe("end", object, 0));
    *word = 0;
    buffer[0] = '\0';
    return 0;
}

int32_t RecordingSink::onObjectError(IRavObject* object, int32_t error, uint16_t* word,
                                     int32_t) {
    Call call = Describe("objectError", object, error);
    calls.push_back(call);
    *word = 0;
    auto it = decisions.find(call.name);
    void* mark = nullptr;
    object->GetProperty("RAVERR_RENAME_ANCESTOR", &mark);
    if (it != decisions.end() && it->second.replaceOnError &&
        (error != RAVERR_RENAME_REQUEST || mark)) {
        WriteText(object, it->second);
        *word = 1;
        return 0;
    }
    if (it != decisions.end() && it->second.removeOnError) {
        *word = 3;
        return 0;
    }
    return error;
}

std::vector<std::string> RecordingSink::Names(const std::string& kind) const {
    std::vector<std::string> names;
    for (const Call& c : calls)
        if (c.kind == kind) names.push_back(c.name);
    return names;
}

const Call* RecordingSink::Find(const std::string& kind, const std::string& name) const {
    for (const Call& c : calls)
        if (c.kind == kind && c.name == name) return &c;
    return nullptr;
}

void WriteTestArc(const std::string& path,
                  const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out = "TESTARC\n";
    for (const auto& [name, data] : members)
        out += std::to_string(data.size()) + " " + name + "\n" + data;
    WriteFile(path, out);
}

namespace {

class TestArcEngine : public maker::FormatEngine {
public:
    TestArcEngine(bool replace, bool remove) : m_Replace(replace), m_Remove(remove) {}
    maker::FormatKind Kind() const override { return maker::FormatKind::kTar; }
    bool Recognises(const std::string&, const unsigned char* head, std::size_t size) const override {
        return size >= 8 && std::string(reinterpret_cast<const char*>(head), 8) == "TESTARC\n";
    }

    maker::FormatStatus Read(const std::string& path,
                             std::vector<std::pair<std::string, std::string>>& out) const {
        std::string all = ReadFile(path);
        if (all.compare(0, 8, "TESTARC\n") != 0) return maker::FormatStatus::kNotThisFormat;
        std::size_t pos = 8;
        while (pos < all.size()) {
            std::size_t lf = all.find('\n', pos);
            if (lf == std::string::npos) return maker::FormatStatus::kDamaged;
            std::string line = all.substr(pos, lf - pos);
            std::size_t space = line.find(' ');
            if (space == std::string::npos) return maker::FormatStatus::kDamaged;
            std::size_t size = std::stoul(line.substr(0, space));
            if (lf + 1 + size > all.size()) return maker::FormatStatus::kDamaged;
            out.emplace_back(line.substr(space + 1), all.substr(lf + 1, size));
            pos = lf + 1 + size;
        }
        return maker::FormatStatus::kOk;
    }

    maker::FormatStatus Extract(const std::string& path, const std::string& tempDir,
                                const maker::ExtractLimits& limits,
                                std::vector<maker::Member>& members) const override {
        std::vector<std::pair<std::string, std::string>> found;
        maker::FormatStatus status = Read(path, found);
        uint64_t total = 0;
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (i >= limits.maxMembers || found[i].second.size() > limits.maxMemberBytes ||
                total + found[i].second.size() > limits.maxTotalBytes)
                return maker::FormatStatus::kLimitExceeded;
            total += found[i].second.size();
            maker::Member m;
            m.name = found[i].first;
            m.index = i;
            m.size = found[i].second.size();
            int fd = rav::MakeTempFile(tempDir, m.dataFile);
            if (fd < 0) return maker::FormatStatus::kIoError;
            rav::WriteAll(fd, found[i].second);
            close(fd);
            members.push_back(m);
        }
        return status;
    }
    bool CanReplaceMembers() const override { return m_Replace; }
    bool CanRemoveMembers() const override { return m_Remove; }
    maker::FormatStatus Rebuild(const std::string& path, const std::vector<maker::MemberEdit>& edits,
                                const std::string& outPath,
                                const maker::ExtractLimits&) const override {
        std::vector<std::pair<std::string, std::string>> found;
        if (Read(path, found) != maker::FormatStatus::kOk) return maker::FormatStatus::kDamaged;
        std::vector<std::pair<std::string, std::string>> out;
        for (std::size_t i = 0; i < found.size(); ++i) {
            bool removed = false;
            for (const auto& e : edits) {
                if (e.index != i) continue;
                if (e.action == maker::MemberEdit::Action::kRemove) {
                    removed = true;
                } else {
                    found[i].second = ReadFile(e.dataFile);
                    if (!e.newName.empty()) found[i].first = e.newName;
                }
            }
            if (!removed) out.push_back(found[i]);
        }
        std::string bytes = "TESTARC\n";
        for (const auto& [name, data] : out) bytes += std::to_string(data.size()) + " " + name + "\n" + data;
        return rav::WriteFileExclusive(outPath, bytes) ? maker::FormatStatus::kOk
                                                       : maker::FormatStatus::kIoError;
    }

private:
    bool m_Replace, m_Remove;
};

}  // namespace

std::unique_ptr<maker::FormatEngine> MakeTestArcEngine(bool canReplace, bool canRemove) {
    return std::make_unique<TestArcEngine>(canReplace, canRemove);
}

}  // namespace ravtest
