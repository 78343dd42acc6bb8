// Whole-file reads and writes, polling, shell commands and the event-log
// file of tests.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The bytes of the file at path; empty when it cannot be read.
std::string ReadWhole(const std::string& path);

// Replaces the file at path with bytes (binary, truncating).
void WriteWhole(const std::string& path, const std::string& bytes);

// Polls pred every millisecond until it holds or bound has passed; returns
// its last answer. For waiting on other threads without a fixed sleep.
bool Eventually(const std::function<bool()>& pred,
                std::chrono::milliseconds bound = std::chrono::seconds(10));

// Runs a shell command (tests drive real clients such as curl this way);
// its standard output, and its exit status in *status (-1 when it did not
// exit normally).
std::string RunCommand(const std::string& command, int* status = nullptr);

// The lines of the event-log file (ZELORM_EVENTLOG) at path, each cut at its
// tabs into the fields time, source, type, id, text[, data].
std::vector<std::vector<std::string>> ReadEventFields(const std::string& path);

// The events of the file at path as "type:text", lines of fewer than five
// fields left out.
std::vector<std::string> ReadEvents(const std::string& path);

}  // namespace testsupport
