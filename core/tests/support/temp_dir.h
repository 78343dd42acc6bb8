// A private temporary directory for one test, removed with all it holds.
#pragma once

#include <string>

namespace testsupport {

// Makes /tmp/<prefix>-XXXXXX (mkdtemp) on construction and removes it
// recursively on destruction, after giving the owner back full rights on it
// (a test may have taken them away). Throws std::runtime_error when the
// directory cannot be made, which fails the test that owns it.
// Not copyable.
class TempDir {
public:
    explicit TempDir(const char* prefix = "zelorm-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The directory itself.
    const std::string& Path() const { return m_Path; }
    // name inside the directory: Path() + "/" + name.
    std::string Path(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

}  // namespace testsupport
