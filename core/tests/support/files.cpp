// Test file helpers: whole-file reads and writes, a bounded poll, shell
// commands, and the readers of the one-line-per-event file.
#include "core/tests/support/files.h"

#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Eventually(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

std::vector<std::vector<std::string>> ReadEventFields(const std::string& path) {
    std::vector<std::vector<std::string>> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        out.push_back(std::move(fields));
    }
    return out;
}

std::vector<std::string> ReadEvents(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& fields : ReadEventFields(path))
        if (fields.size() >= 5)
            out.push_back(fields[2] + ":" + fields[4]);
    return out;
}

std::string RunCommand(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "<popen failed>";
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int result = pclose(pipe);
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return out;
}

}  // namespace testsupport
