// The walker of the decomposition component.
//
//   CRavel::Process   walk one file with one sink (see rav_interfaces.h)
//   NewFileObject     the top object of a walk
//
// One Process call: a private directory (mkdtemp) under the temporary
// directory holds every extracted member and intermediate rebuild and is
// removed before Process returns; only a rebuilt top file (state 2) stays,
// moved into the temporary directory itself.
//
// Bounds: object depth (WalkLimits::maxDepth), bytes and members over the
// whole walk, and each container's RavLimits. An overrun is reported to the
// sink through onObjectError on the container (RAVERR_DEPTH, RAVERR_LIMIT).
//
// Bad input: damaged containers are reported (RAVERR_DAMAGED and friends)
// and what could be read is still walked.

#include "maker/ravel.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "maker/rav_files.h"
#include "maker/rav_object.h"

namespace rav {
namespace {

struct FoundMember {
    std::string name, dataFile, formatHint;
    uint64_t size;
    uint32_t index;
    int32_t status, typeHint;
};

class MemberCollector : public IRavMemberList {
public:
    int32_t AddMember(const char* name, const char* dataFile, uint64_t size, uint32_t index,
                      int32_t status, int32_t typeHint, const char* formatHint) override {
        m_Members.push_back({name ? name : "", dataFile ? dataFile : "",
                             formatHint ? formatHint : "", size, index, status, typeHint});
        return 0;
    }
    std::vector<FoundMember> m_Members;
};

struct Aborted {};

class Walk {
public:
    Walk(IRavelEvents* sink, std::vector<IRavEngine*> engines, std::string workDir,
         WalkLimits limits)
        : m_Sink(sink),
          m_Engines(std::move(engines)),
          m_WorkDir(std::move(workDir)),
          m_Limits(limits) {}

    // Throws Aborted when the sink ends the walk.
    void Object(CRavObject* obj) {
        Identify(obj);
        int32_t process = 1;
        int32_t code = m_Sink->onEnterObject(obj, obj->m_Name.c_str(), &process);
        if (code == RAVERR_ABORT) throw Aborted();
        if (code != 0) {
            Error(obj, code);
            return;
        }
        if (!process) return;

        uint16_t word = 0;
        char newData[RAV_PATH_SIZE] = "";
        int32_t cont = 1;
        code = m_Sink->onObject(obj, &word, newData, sizeof newData, &cont);
        if (code == RAVERR_ABORT || !cont) throw Aborted();
        newData[sizeof newData - 1] = '\0';
        // The top mail object is never removed: its parts are walked instead.
        if (word == 3 && !obj->m_Parent && obj->m_Type == RAV_TYPE_MESSAGE) word = 0;
        Apply(obj, word, newData);
        if (code == RAVERR_RENAME_REQUEST) {
            RenameAncestors(obj);
        } else if (code != 0) {
            Error(obj, code);
        } else if (word == 0 && obj->m_Engine) {
            Descend(obj);
        }
        uint16_t endWord = 0;
        char endData[RAV_PATH_SIZE] = "";
        if (m_Sink->onObjectEnd(obj, &endWord, endData, sizeof endData) == RAVERR_ABORT)
            throw Aborted();
    }

    bool m_Failed = false;  // a change the top object could not carry out

private:
    IRavEngine* EngineNamed(const std::string& name) {
        for (IRavEngine* e : m_Engines)
            if (name == e->GetFormatName()) return e;
        return nullptr;
    }

    void Identify(CRavObject* obj) {
        IRavEngine* engine = nullptr;
        if (!obj->m_FormatHint.empty()) engine = EngineNamed(obj->m_FormatHint);
        if (!engine) {
            unsigned char head[4096];
            long n = ReadHead(obj->m_DataFile, head, sizeof head);
            if (n > 0) {
                uint32_t size = static_cast<uint32_t>(n);
                for (IRavEngine* e : m_Engines) {
                    const char* format = e->Identify(head, size);
                    if (format && (engine = EngineNamed(format))) break;
                }
                for (IRavEngine* e : m_Engines) {
                    if (engine) break;
                    if (std::strcmp(e->GetFormatName(), "ID") != 0 &&
                        e->Recognise(obj->m_DataFile.c_str(), head, size))
                        engine = e;
                }
            }
        }
        // The top file is normally a mail message; one that nothing
        // recognises is still read as a message, so that its bytes reach the
        // sink as a part instead of passing unscanned as the top object.
        if (!engine && !obj->m_Parent) engine = EngineNamed("MIME");
        obj->m_Engine = engine;
        obj->m_Type = obj->m_TypeHint >= 0 ? obj->m_TypeHint
                      : engine            ? engine->GetObjectType()
                                          : RAV_TYPE_FILE;
    }

    void Apply(CRavObject* obj, uint16_t word, const char* newData) {
        if (word == 1) {
            obj->m_Replaced = true;
            obj->m_NewData = newData && *newData ? newData : obj->m_DataFile;
        } else if (word == 3 && (obj->m_Parent || obj->m_Type != RAV_TYPE_MESSAGE)) {
            obj->m_Removed = true;  // the top mail object is never removed
        }
    }

    void Error(CRavObject* obj, int32_t code) {
        int32_t cont = 1;
        if (m_Sink->onError(obj, code, 0, &cont) == RAVERR_ABORT || !cont) throw Aborted();
    }

    // The sink's answer to an error of the object; its result word counts.
    void ObjectError(CRavObject* obj, int32_t code) {
        uint16_t word = 0;
        if (m_Sink->onObjectError(obj, code, &word, 0) == RAVERR_ABORT) throw Aborted();
        Apply(obj, word, nullptr);
    }

    // The sink marked an ancestor for replacement: offer the request to
    // each container up to the direct part of the top object.
    void RenameAncestors(CRavObject* obj) {
        for (CRavObject* a = obj->m_Parent; a && a->m_Depth >= 1; a = a->m_Parent) {
            uint16_t word = 0;
            if (m_Sink->onObjectError(a, RAVERR_RENAME_REQUEST, &word, 0) == RAVERR_ABORT)
                throw Aborted();
            Apply(a, word, nullptr);
            if (word == 1 || word == 3) return;
        }
    }

    static bool Can(const CRavObject* container, int32_t capability) {
        return container->m_Engine &&
               (container->m_Engine->GetCapabilities() & capability) == capability;
    }

    // obj cannot carry out a change of its members: it is replaced by the
    // sink, or dropped by the nearest container that can drop it.
    void Escalate(CRavObject* obj) {
        for (CRavObject* x = obj; x; x = x->m_Parent) {
            if (!x->m_Parent) {
                if (x->m_Type == RAV_TYPE_MESSAGE)
                    m_Failed = true;  // the top mail object is never removed
                else
                    x->m_Removed = true;
                return;
            }
            uint16_t word = 0;
            if (m_Sink->onObjectError(x, RAVERR_CANNOT_CHANGE, &word, 0) == RAVERR_ABORT)
                throw Aborted();
            if (word == 1 && Can(x->m_Parent, RAV_CAN_REPLACE)) {
                Apply(x, word, nullptr);
                return;
            }
            if (Can(x->m_Parent, RAV_CAN_REMOVE)) {
                x->m_Replaced = false;
                x->m_Removed = true;
                return;
            }
        }
    }

    RavLimits ContainerLimits() const {
        RavLimits limits = m_Limits.container;
        uint64_t leftBytes = m_Limits.maxWalkBytes - std::min(m_Bytes, m_Limits.maxWalkBytes);
        uint32_t leftMembers =
            m_Limits.maxWalkMembers - std::min(m_Members, m_Limits.maxWalkMembers);
        limits.maxTotalBytes = std::min(limits.maxTotalBytes, leftBytes);
        limits.maxMemberBytes = std::min(limits.maxMemberBytes, leftBytes);
        limits.maxMembers = std::min(limits.maxMembers, leftMembers);
        return limits;
    }

    void Descend(CRavObject* obj) {
        if (obj->m_Depth + 1 > m_Limits.maxDepth) {
            ObjectError(obj, RAVERR_DEPTH);
            return;
        }
        RavLimits limits = ContainerLimits();
        MemberCollector found;
        int32_t rc = obj->m_Engine->Extract(obj->m_DataFile.c_str(), m_WorkDir.c_str(), &limits,
                                            &found);
        int32_t caps = obj->m_Engine->GetCapabilities();
        // Faults are reported on the container, once per kind: the
        // container is what the sink can keep, replace or drop.
        std::vector<int32_t> faults;
        if (rc != 0) faults.push_back(rc);
        for (const FoundMember& m : found.m_Members) {
            if (m.status != 0) {
                if (std::find(faults.begin(), faults.end(), m.status) == faults.end())
                    faults.push_back(m.status);
                continue;
            }
            auto child = std::make_unique<CRavObject>(m.name, m.dataFile, obj);
            child->m_Index = m.index;
            child->m_TypeHint = m.typeHint;
            child->m_FormatHint = m.formatHint;
            child->m_Removable = (caps & RAV_CAN_REMOVE) != 0;
            child->m_Modifiable = (caps & RAV_CAN_REPLACE) != 0;
            m_Bytes += m.size;
            ++m_Members;
            obj->m_Children.push_back(std::move(child));
        }
        for (int32_t fault : faults) {
            ObjectError(obj, fault);
            if (obj->Gone()) return;
        }
        for (const auto& child : obj->m_Children) {
            Object(child.get());
            if (obj->Gone()) return;
        }
        if (m_Sink->onIdle() == RAVERR_ABORT) throw Aborted();
        Rebuild(obj);
    }

    void Rebuild(CRavObject* obj) {
        std::vector<RavMemberEdit> edits;
        bool removes = false, replaces = false;
        for (const auto& c : obj->m_Children) {
            if (c->m_Removed) {
                edits.push_back({c->m_Index, 1, nullptr, nullptr, nullptr});
                removes = true;
            } else if (c->m_Replaced) {
                edits.push_back({c->m_Index, 0, c->m_NewData.c_str(),
                                 c->m_NameChanged ? c->m_Name.c_str() : nullptr,
                                 c->m_TypeChanged ? c->m_ContentType.c_str() : nullptr});
                replaces = true;
            }
        }
        if (edits.empty()) return;
        if ((removes && !Can(obj, RAV_CAN_REMOVE)) || (replaces && !Can(obj, RAV_CAN_REPLACE))) {
            Escalate(obj);
            return;
        }
        std::string out;
        int fd = MakeTempFile(m_WorkDir, out);
        if (fd >= 0) {
            close(fd);
            unlink(out.c_str());  // the engine creates it exclusively; the directory is ours
        }
        RavLimits limits = m_Limits.container;
        int32_t rc = fd < 0 ? RAVERR_IO
                            : obj->m_Engine->Rebuild(obj->m_DataFile.c_str(), edits.data(),
                                                     static_cast<uint32_t>(edits.size()),
                                                     out.c_str(), &limits);
        if (rc != 0) {
            unlink(out.c_str());
            ObjectError(obj, RAVERR_REBUILD);
            if (!obj->Gone()) Escalate(obj);
            return;
        }
        obj->m_Replaced = true;
        obj->m_NewData = out;
    }

    IRavelEvents* m_Sink;
    std::vector<IRavEngine*> m_Engines;
    std::string m_WorkDir;
    WalkLimits m_Limits;
    uint64_t m_Bytes = 0;
    uint32_t m_Members = 0;
};

// Moves the rebuilt top file out of the private directory under a fresh
// name of its own in the temporary directory.
bool KeepResult(const std::string& from, const std::string& tempDir, std::string& path) {
    int fd = MakeTempFile(tempDir, path);
    if (fd < 0) return false;
    close(fd);
    if (rename(from.c_str(), path.c_str()) != 0) {
        unlink(path.c_str());
        return false;
    }
    return true;
}

std::string DefaultTempDir() {
    const char* env = std::getenv("TMPDIR");
    return env && *env ? env : "/tmp";
}

}  // namespace

int32_t CRavel::AddEngine(IRavEngine* engine) {
    if (!engine) return RAVERR_BAD_ARGUMENT;
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Engines.push_back(engine);
    return 0;
}

int32_t CRavel::RemoveEngines() {
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Engines.clear();
    return 0;
}

int32_t CRavel::SetTempDir(const char* directory) {
    if (!directory) return RAVERR_BAD_ARGUMENT;
    std::lock_guard<std::mutex> hold(m_Lock);
    m_TempDir = directory;
    return 0;
}

void CRavel::SetLimits(const WalkLimits& limits) {
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Limits = limits;
}

int32_t CRavel::Process(IRavObject* file, IRavelEvents* sink, uint16_t* state, char* newName,
                        int32_t newNameSize) {
    if (state) *state = RAV_STATE_UNCHANGED;
    if (newName && newNameSize > 0) newName[0] = '\0';
    CRavObject* top = dynamic_cast<CRavObject*>(file);
    if (!top || top->m_Parent || !sink || !state || !newName || newNameSize < 1)
        return RAVERR_BAD_ARGUMENT;
    std::vector<IRavEngine*> engines;
    std::string tempDir;
    WalkLimits limits;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        engines = m_Engines;
        tempDir = m_TempDir.empty() ? DefaultTempDir() : m_TempDir;
        limits = m_Limits;
    }
    std::string workDir;
    if (!EnsureDirectory(tempDir) || !MakePrivateDirectory(tempDir, workDir)) return RAVERR_IO;

    top->Reset();
    int32_t result = 0;
    try {
        Walk walk(sink, engines, workDir, limits);
        walk.Object(top);
        if (walk.m_Failed) {
            result = RAVERR_REBUILD;
        } else if (top->m_Removed && top->m_Type != RAV_TYPE_MESSAGE) {
            *state = RAV_STATE_DELETE;
        } else if (top->m_Replaced && top->m_NewData != top->m_DataFile) {
            std::string kept;
            if (!KeepResult(top->m_NewData, tempDir, kept)) {
                result = RAVERR_IO;
            } else if (kept.size() >= static_cast<std::size_t>(newNameSize)) {
                unlink(kept.c_str());
                result = RAVERR_BAD_ARGUMENT;
            } else {
                CopyOut(kept, newName, newNameSize);
                *state = RAV_STATE_REBUILT;
            }
        } else if (top->m_Replaced) {
            *state = 1;  // the input file itself was rewritten
        }
    } catch (const Aborted&) {
        result = RAVERR_ABORT;
    } catch (const std::bad_alloc&) {
        result = RAVERR_NO_MEMORY;
    }
    top->Reset();
    RemoveTree(workDir);
    if (result != 0) *state = RAV_STATE_UNCHANGED;
    return result;
}

int32_t NewFileObject(const char* path, const char* name, IRavObject** out) {
    if (!out) return RAVERR_BAD_ARGUMENT;
    *out = nullptr;
    if (!path || !name) return RAVERR_BAD_ARGUMENT;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return RAVERR_CANNOT_OPEN;
    close(fd);
    if (!IsRegularFile(path)) return RAVERR_CANNOT_OPEN;
    CRavObject* object = new (std::nothrow) CRavObject(name, path, nullptr);
    if (!object) return RAVERR_NO_MEMORY;
    *out = object;
    return 0;
}

}  // namespace rav
