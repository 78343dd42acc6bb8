// Benchmark: megabytes per second of a mail message with attachments (a zip
// of text files, a gzip, base64 parts) decomposed by the decomposition
// component and every part scanned by the virus engine, with a definitions
// set of 100,000 generated signatures; beside it, clamscan scanning the same
// message with the same signatures (its own mail and archive parsing on).
//
// Usage: rav_decompose_bench [--rounds=N] (other arguments are ignored, so
// scripts/bench can pass its own). Needs python3 (to write the zip, gzip and
// message) and clamscan; format libraries that are not built are left out
// and the message is then walked as far as the built engines reach.
//
// Each round walks a different message (same make-up, other random bytes):
// libclamav caches clean results by content, on both sides. Prints the
// message size, the seconds per message and MB/s of both, their ratio, and
// clamscan's database load time (measured apart and subtracted).

#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "maker/rav_files.h"
#include "maker/rav_interfaces.h"
#include "maker/zel_engine.h"

namespace {

std::string Run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

double Seconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Scans every object below the top with the engine.
class ScanSink : public IRavelEvents {
public:
    explicit ScanSink(ZELHANDLE engine) : m_Engine(engine) {}
    int32_t onObject(IRavObject* object, uint16_t* word, char* buffer, int32_t,
                     int32_t* cont) override {
        *word = 0;
        buffer[0] = '\0';
        *cont = 1;
        IRavObject* parent = nullptr;
        object->GetParent(&parent);
        if (!parent) return 0;
        char file[RAV_PATH_SIZE];
        object->GetDataFile(file, sizeof file);
        ZELVIRUS virus = nullptr;
        if (ZELScanFile(m_Engine, file, "", 0, &virus) != 0) return RAVERR_ENGINE;
        ++objects;
        if (virus) {
            ++found;
            ZELFreeVirusHandle(virus);
        }
        return 0;
    }
    int32_t onQuery(IRavObject*, int32_t* flag) override {
        *flag = 1;
        return 0;
    }
    int32_t onEnterObject(IRavObject*, const char*, int32_t*) override { return 0; }
    int32_t onError(IRavObject*, int32_t, int32_t, int32_t* cont) override {
        *cont = 1;
        return 0;
    }
    int32_t onObjectEnd(IRavObject*, uint16_t* word, char* buffer, int32_t) override {
        *word = 0;
        buffer[0] = '\0';
        return 0;
    }
    int32_t onIdle() override { return 0; }
    int32_t onObjectError(IRavObject*, int32_t error, uint16_t* word, int32_t) override {
        *word = 0;
        return error;
    }
    int objects = 0;
    int found = 0;

private:
    ZELHANDLE m_Engine;
};

const char* kMakeMessage = R"(
import base64, gzip, io, random, sys, zipfile
from email.message import EmailMessage
random.seed(int(sys.argv[2]))
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 9))) for _ in range(5000)]
def text(n):
    out = []
    size = 0
    while size < n:
        line = ' '.join(random.choice(words) for _ in range(12)) + '\n'
        out.append(line)
        size += len(line)
    return ''.join(out).encode()
m = EmailMessage()
m['From'] = 'bench@example.com'
m['To'] = 'rcpt@example.com'
m['Subject'] = 'benchmark'
m.set_content(text(20000).decode())
z = io.BytesIO()
with zipfile.ZipFile(z, 'w', zipfile.ZIP_DEFLATED) as f:
    for i in range(20):
        f.writestr('doc%02d.txt' % i, text(100000))
m.add_attachment(z.getvalue(), maintype='application', subtype='zip', filename='docs.zip')
m.add_attachment(gzip.compress(text(1000000)), maintype='application', subtype='gzip', filename='log.txt.gz')
for i in range(4):
    m.add_attachment(random.randbytes(500000), maintype='application', subtype='octet-stream', filename='data%d.bin' % i)
open(sys.argv[1], 'wb').write(bytes(m))
)";

}  // namespace

int main(int argc, char** argv) {
    int rounds = 6;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
    char pattern[] = "/tmp/rav-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string set = dir + "/20260101.001";
    mkdir(set.c_str(), 0700);

    // 100,000 generated body signatures (16 random bytes each).
    std::mt19937_64 random(42);
    std::string sigs;
    for (int i = 0; i < 100000; ++i) {
        char hex[33];
        for (int k = 0; k < 16; ++k)
            std::snprintf(hex + 2 * k, 3, "%02x", static_cast<unsigned>(random() & 0xff));
        sigs += "Bench.Generated." + std::to_string(i) + ":0:*:" + hex + "\n";
    }
    rav::WriteFileExclusive(set + "/bench.ndb", sigs);
    // One distinct message per round: libclamav caches clean results by
    // content, so scanning the same bytes again would measure the cache.
    rav::WriteFileExclusive(dir + "/make.py", kMakeMessage);
    std::vector<std::string> messages;
    double megabytes = 0;
    for (int r = 0; r < rounds; ++r) {
        std::string message = dir + "/message" + std::to_string(r) + ".eml";
        Run("python3 " + dir + "/make.py " + message + " " + std::to_string(r + 1));
        struct stat st;
        if (stat(message.c_str(), &st) != 0) {
            std::fprintf(stderr, "could not write the message (python3)\n");
            return 1;
        }
        megabytes += static_cast<double>(st.st_size) / (1 << 20);
        messages.push_back(message);
    }
    megabytes /= rounds;

    int32_t error = 0;
    ZELHANDLE engine = nullptr;
    double load = Seconds([&] { engine = ZELEngineInit(set.c_str(), "", 0, 0, 0, &error); });
    if (!engine) {
        std::fprintf(stderr, "engine start failed: %d\n", error);
        return 1;
    }
    IRavel* ravel = nullptr;
    RavNewRavel(&ravel);
    std::vector<IRavEngine*> engines;
    std::vector<int32_t (*)(IRavEngine*)> deleters;
    IRavEngine* e = nullptr;
    if (RavNewIDEngine(&e) == 0) engines.push_back(e), deleters.push_back(&RavDeleteIDEngine);
    if (RavNewMimeEngine(&e) == 0) engines.push_back(e), deleters.push_back(&RavDeleteMimeEngine);
    std::string loaded = "ID MIME";
    Dl_info self;
    dladdr(reinterpret_cast<void*>(&RavNewRavel), &self);
    std::string bin = self.dli_fname;
    bin = bin.substr(0, bin.rfind('/'));
    for (const char* word : {"Zip", "GZIP"}) {
        void* library = dlopen((bin + "/libRav2" + word + ".so").c_str(), RTLD_NOW);
        if (!library) continue;
        auto create = reinterpret_cast<int32_t (*)(IRavEngine**)>(
            dlsym(library, (std::string("RavNew") + word + "Engine").c_str()));
        auto remove = reinterpret_cast<int32_t (*)(IRavEngine*)>(
            dlsym(library, (std::string("RavDelete") + word + "Engine").c_str()));
        if (create && remove && create(&e) == 0) {
            engines.push_back(e);
            deleters.push_back(remove);
            loaded += std::string(" ") + word;
        }
    }
    for (IRavEngine* x : engines) ravel->AddEngine(x);
    ravel->SetTempDir((dir + "/tmp").c_str());

    int objects = 0;
    double walk = Seconds([&] {
        for (const std::string& message : messages) {
            ScanSink sink(engine);
            IRavObject* file = nullptr;
            RavNewFileObject(message.c_str(), message.c_str(), &file);
            uint16_t state;
            char newName[RAV_PATH_SIZE];
            ravel->Process(file, &sink, &state, newName, sizeof newName);
            RavDeleteFileObject(file);
            objects = sink.objects;
        }
    }) / rounds;

    // clamscan: the database load alone (an empty file), then the message.
    rav::WriteFileExclusive(dir + "/empty", "");
    const std::string clam = "clamscan --no-summary --quiet -d " + set + " ";
    double clamLoad = Seconds([&] { Run(clam + dir + "/empty"); });
    std::string many;
    for (const std::string& message : messages) many += " " + message;
    double clamTotal = Seconds([&] { Run(clam + many); });
    double clamWalk = std::max(1e-9, (clamTotal - clamLoad) / rounds);

    std::printf("message: %.2f MB, %d objects scanned per walk, %d messages (engines: %s)\n",
                megabytes, objects, rounds, loaded.c_str());
    std::printf("signatures: 100000 generated; engine load %.2f s, clamscan load %.2f s\n", load,
                clamLoad);
    std::printf("decompose+scan: %.3f s per message, %.1f MB/s\n", walk, megabytes / walk);
    std::printf("clamscan:       %.3f s per message, %.1f MB/s\n", clamWalk, megabytes / clamWalk);
    std::printf("ratio (ours / clamscan): %.2f\n", (megabytes / walk) / (megabytes / clamWalk));

    ravel->RemoveEngines();
    RavDeleteRavel(ravel);
    for (std::size_t i = 0; i < engines.size(); ++i) deleters[i](engines[i]);
    ZELEngineClose(engine);
    rav::RemoveTree(dir);
    return 0;
}
