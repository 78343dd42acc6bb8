// The registry in one .reg-format text file (see registry.h for the format).
//
//   RegistryFilePath      $ZELORM_REGISTRY, else /etc/zelorm/registry.reg
//   RegKeyExists          kRegSuccess or kRegNotFound
//   RegQueryValue         type and bytes of one value
//   RegReadValueInto      the bytes into a caller's buffer, text NUL-terminated
//   RegWriteValue         set a value of an existing key (atomic rewrite)
//   RegCreateKey          create a key path (atomic rewrite)
//   RegDeleteValue        remove a value (atomic rewrite)
//   RegDeleteKey          remove a key tree (atomic rewrite)
//   RegListSubKeys        direct subkey names, ordered by their upper-case form
//   RegListValues         values in file order
//   RegLastParseWarnings  malformed lines skipped by this thread's last read
//
// Bad input: a malformed key path or name gives kRegBadArgument; a file over
// its bound gives kRegBadFile and is never rewritten; a malformed line of the
// file is skipped, counted and kept verbatim for the next rewrite. Nothing
// here throws except std::bad_alloc.
//
// Each operation loads the whole file, which stays small (product settings):
// that keeps every reader consistent with the last completed rewrite without
// any cache to invalidate across processes.
#include "platform/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "platform/file_ops.h"

namespace platform {

namespace {

constexpr size_t kMaxFileSize = 16u << 20;
constexpr size_t kMaxPhysicalLine = 64u << 10;
constexpr size_t kMaxLogicalLine = 4u << 20;  // a 1 MiB value as wrapped hex fits
constexpr size_t kMaxKeyPath = 1024;
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 1024;
constexpr size_t kMaxValueData = 1u << 20;
// Longer texts are written as wrapped hex(1), so that every line we write
// stays far below the physical line bound.
constexpr size_t kMaxTextForm = 16u << 10;
constexpr size_t kHexWrapColumn = 77;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr char kDefaultPath[] = "/etc/zelorm/registry.reg";
constexpr const char* kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                                  "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

thread_local int t_ParseWarnings = 0;

char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string Upper(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = UpperChar(c);
    return out;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i]))
            return false;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

size_t SkipBlanks(const std::string& s, size_t p) {
    while (p < s.size() && IsBlank(s[p])) ++p;
    return p;
}

bool StartsWithNoCase(const std::string& s, size_t p, const char* word) {
    size_t n = strlen(word);
    return s.size() >= p + n && strncasecmp(s.c_str() + p, word, n) == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// ---------------------------------------------------------------- the tree

struct Key {
    std::string name;
    std::vector<RegValue> values;
    std::vector<std::string> verbatim;                     // comments and malformed lines, as read
    std::map<std::string, std::unique_ptr<Key>> children;  // by upper-case name

    Key* Child(const std::string& n) const {
        auto it = children.find(Upper(n));
        return it == children.end() ? nullptr : it->second.get();
    }
    Key* AddChild(const std::string& n) {
        auto& slot = children[Upper(n)];
        if (!slot) {
            slot = std::make_unique<Key>();
            slot->name = n;
        }
        return slot.get();
    }
    RegValue* FindValue(const std::string& n) {
        for (auto& v : values)
            if (SameName(v.name, n))
                return &v;
        return nullptr;
    }
};

struct Hive {
    Key top;                           // its children are the roots
    std::vector<std::string> prelude;  // lines before the first section
    std::vector<std::string> orphans;  // sections with a malformed path, with their lines
    Hive() {
        for (const char* root : kRoots) top.AddChild(root);
    }
    Key* Find(const std::vector<std::string>& parts) {
        Key* k = &top;
        for (const auto& p : parts)
            if ((k = k->Child(p)) == nullptr)
                return nullptr;
        return k;
    }
    Key* Create(const std::vector<std::string>& parts, bool* created) {
        Key* k = &top;
        for (const auto& p : parts) {
            Key* next = k->Child(p);
            if (next == nullptr) {
                next = k->AddChild(p);
                if (created)
                    *created = true;
            }
            k = next;
        }
        return k;
    }
};

// Splits "ROOT\a\b" into its names. The root must be a predefined one and is
// returned in its canonical spelling.
bool ParseKeyPath(const std::string& path, std::vector<std::string>& parts) {
    parts.clear();
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '\\') --end;
    if (end == 0 || end > kMaxKeyPath)
        return false;
    for (size_t start = 0; start <= end;) {
        size_t sep = path.find('\\', start);
        if (sep == std::string::npos || sep > end)
            sep = end;
        std::string part = path.substr(start, sep - start);
        if (part.empty() || part.size() > kMaxKeyName)
            return false;
        for (unsigned char c : part)
            if (c < 0x20 || c == 0x7f)
                return false;
        parts.push_back(std::move(part));
        start = sep + 1;
    }
    for (const char* root : kRoots) {
        if (SameName(parts[0], root)) {
            parts[0] = root;
            return true;
        }
    }
    return false;
}

bool ValidValueName(const std::string& name) {
    return name.size() <= kMaxValueName &&
           name.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// ---------------------------------------------------------------- parsing

// A quoted text at s[p] ('"' there) with \\ and \" escapes; p ends after the
// closing quote.
bool ParseQuoted(const std::string& s, size_t& p, std::string& out, size_t limit) {
    if (p >= s.size() || s[p] != '"')
        return false;
    out.clear();
    for (++p; p < s.size(); ++p) {
        char c = s[p];
        if (c == '"') {
            ++p;
            return true;
        }
        if (c == '\\') {
            if (p + 1 >= s.size() || (s[p + 1] != '\\' && s[p + 1] != '"'))
                return false;
            c = s[++p];
        }
        if (out.size() >= limit)
            return false;
        out += c;
    }
    return false;  // no closing quote
}

// "name" or @ at the start of a value line.
bool ParseValueName(const std::string& s, size_t& p, std::string& name) {
    p = SkipBlanks(s, 0);
    if (p < s.size() && s[p] == '@') {
        name.clear();
        ++p;
        return true;
    }
    return ParseQuoted(s, p, name, kMaxValueName);
}

// Comma-separated bytes of one or two hex digits, possibly none.
bool ParseHexList(const std::string& s, size_t p, std::string& out) {
    out.clear();
    p = SkipBlanks(s, p);
    if (p == s.size())
        return true;
    for (;;) {
        p = SkipBlanks(s, p);
        int hi = p < s.size() ? HexDigit(s[p]) : -1;
        if (hi < 0)
            return false;
        int value = hi;
        ++p;
        if (p < s.size() && HexDigit(s[p]) >= 0)
            value = value * 16 + HexDigit(s[p++]);
        if (out.size() >= kMaxValueData)
            return false;
        out += static_cast<char>(value);
        p = SkipBlanks(s, p);
        if (p == s.size())
            return true;
        if (s[p] != ',')
            return false;
        ++p;
    }
}

bool ParseHexNumber(const std::string& s, size_t& p, uint32_t& out) {
    size_t start = p;
    uint32_t value = 0;
    while (p < s.size() && HexDigit(s[p]) >= 0 && p - start < 8)
        value = value * 16 + static_cast<uint32_t>(HexDigit(s[p++]));
    out = value;
    return p > start && (p == s.size() || HexDigit(s[p]) < 0);
}

bool ParseValueLine(const std::string& s, RegValue& v) {
    size_t p;
    if (!ParseValueName(s, p, v.name))
        return false;
    p = SkipBlanks(s, p);
    if (p >= s.size() || s[p] != '=')
        return false;
    p = SkipBlanks(s, p + 1);
    if (p < s.size() && s[p] == '"') {
        v.type = kRegSz;
        if (!ParseQuoted(s, p, v.data, kMaxValueData))
            return false;
        return SkipBlanks(s, p) == s.size();
    }
    if (StartsWithNoCase(s, p, "dword:")) {
        p += 6;
        uint32_t n;
        if (!ParseHexNumber(s, p, n) || SkipBlanks(s, p) != s.size())
            return false;
        v.type = kRegDword;
        v.data.assign(4, '\0');
        for (int i = 0; i < 4; ++i) v.data[i] = static_cast<char>((n >> (8 * i)) & 0xff);
        return true;
    }
    if (StartsWithNoCase(s, p, "hex")) {
        p += 3;
        v.type = kRegBinary;
        if (p < s.size() && s[p] == '(') {
            ++p;
            if (!ParseHexNumber(s, p, v.type) || p >= s.size() || s[p] != ')')
                return false;
            ++p;
        }
        if (p >= s.size() || s[p] != ':')
            return false;
        return ParseHexList(s, p + 1, v.data);
    }
    return false;
}

// Only hex lists continue on the next line: a text value legitimately ends
// with a quote, so a stray trailing backslash elsewhere must not swallow the
// following line.
bool StartsHexValue(const std::string& line) {
    size_t p;
    std::string name;
    if (!ParseValueName(line, p, name))
        return false;
    p = SkipBlanks(line, p);
    if (p >= line.size() || line[p] != '=')
        return false;
    return StartsWithNoCase(line, SkipBlanks(line, p + 1), "hex");
}

std::string TrimRight(const std::string& s) {
    size_t end = s.size();
    while (end > 0 && IsBlank(s[end - 1])) --end;
    return s.substr(0, end);
}

bool EndsWithBackslash(const std::string& line) {
    std::string t = TrimRight(line);
    return !t.empty() && t.back() == '\\';
}

class Parser {
public:
    explicit Parser(const std::string& text) : m_Text(text) {
        if (m_Text.compare(0, 3, "\xEF\xBB\xBF") == 0)
            m_Pos = 3;  // a UTF-8 byte-order mark
    }

    int Parse(Hive& hive) {
        std::string line;
        bool tooLong;
        bool first = true;
        while (NextLine(line, tooLong)) {
            if (first) {
                first = false;
                if (!tooLong && TrimRight(line) == kHeader)
                    continue;
                ++m_Warnings;  // no header: read the rest all the same
            }
            size_t p = SkipBlanks(line, 0);
            if (!tooLong && p == line.size())
                continue;
            if (!tooLong && line[p] == ';') {
                Container(hive).push_back(line);
            } else if (!tooLong && line[0] == '[' && TrimRight(line).back() == ']') {
                Section(hive, line);
            } else {
                Entry(hive, line, tooLong);
            }
        }
        return m_Warnings;
    }

private:
    enum State { kPrelude, kInKey, kInOrphan };

    // The next physical line without its line end; tooLong when over the
    // bound (the line is still whole: the file itself is bounded).
    bool NextLine(std::string& line, bool& tooLong) {
        if (m_Pos >= m_Text.size())
            return false;
        size_t nl = m_Text.find('\n', m_Pos);
        size_t end = nl == std::string::npos ? m_Text.size() : nl;
        if (end > m_Pos && m_Text[end - 1] == '\r')
            --end;
        line.assign(m_Text, m_Pos, end - m_Pos);
        tooLong = line.size() > kMaxPhysicalLine;
        m_Pos = nl == std::string::npos ? m_Text.size() : nl + 1;
        return true;
    }

    std::vector<std::string>& Container(Hive& hive) {
        if (m_State == kInKey)
            return m_Key->verbatim;
        if (m_State == kInOrphan)
            return hive.orphans;
        return hive.prelude;
    }

    void Section(Hive& hive, const std::string& line) {
        std::string inner = TrimRight(line);
        inner = inner.substr(1, inner.size() - 2);
        std::vector<std::string> parts;
        // "[-key]" deletes a key when imported; in the stored file it means nothing.
        if (!inner.empty() && inner[0] != '-' && ParseKeyPath(inner, parts)) {
            m_Key = hive.Create(parts, nullptr);
            m_State = kInKey;
        } else {
            ++m_Warnings;
            hive.orphans.push_back(line);
            m_State = kInOrphan;
        }
    }

    // A value line with its continuation lines.
    void Entry(Hive& hive, const std::string& firstLine, bool tooLong) {
        std::string raw = firstLine;
        std::string logical = firstLine;
        bool dropped = tooLong;
        bool hex = StartsHexValue(firstLine);
        std::string last = firstLine;
        while (hex && EndsWithBackslash(last) && m_Pos < m_Text.size()) {
            bool nextTooLong;
            NextLine(last, nextTooLong);
            dropped = dropped || nextTooLong || logical.size() + last.size() > kMaxLogicalLine;
            if (dropped) {
                logical.clear();
                raw.clear();
                continue;  // follow the continuation to its end all the same
            }
            logical = TrimRight(logical);
            logical.pop_back();  // the backslash
            logical.append(last, SkipBlanks(last, 0));
            raw += '\n';
            raw += last;
        }
        RegValue v;
        if (!dropped && m_State == kInKey && ParseValueLine(logical, v)) {
            if (RegValue* old = m_Key->FindValue(v.name)) {
                old->type = v.type;  // the later line wins, as an import would do
                old->data = std::move(v.data);
            } else {
                m_Key->values.push_back(std::move(v));
            }
            return;
        }
        if (m_State != kInOrphan)
            ++m_Warnings;  // an orphan section counted once
        if (!dropped)
            Container(hive).push_back(raw);
    }

    const std::string& m_Text;
    size_t m_Pos = 0;
    int m_Warnings = 0;
    State m_State = kPrelude;
    Key* m_Key = nullptr;
};

// ---------------------------------------------------------------- writing

void AppendEscaped(std::string& out, const std::string& s) {
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
}

void AppendValue(std::string& out, const RegValue& v) {
    size_t lineStart = out.size();
    if (v.name.empty()) {
        out += '@';
    } else {
        out += '"';
        AppendEscaped(out, v.name);
        out += '"';
    }
    out += '=';
    if (v.type == kRegSz && v.data.size() <= kMaxTextForm &&
        v.data.find_first_of(std::string("\r\n\0", 3)) == std::string::npos) {
        out += '"';
        AppendEscaped(out, v.data);
        out += "\"\n";
        return;
    }
    char head[32];
    if (v.type == kRegDword && v.data.size() == 4) {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = n * 256 + static_cast<unsigned char>(v.data[i]);
        snprintf(head, sizeof head, "dword:%08x\n", n);
        out += head;
        return;
    }
    if (v.type == kRegBinary)
        snprintf(head, sizeof head, "hex:");
    else
        snprintf(head, sizeof head, "hex(%x):", v.type);
    out += head;
    static const char digits[] = "0123456789abcdef";
    size_t column = out.size() - lineStart;
    for (size_t i = 0; i < v.data.size(); ++i) {
        if (column + 3 > kHexWrapColumn) {
            out += "\\\n  ";
            column = 2;
        }
        unsigned char b = static_cast<unsigned char>(v.data[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
        column += 2;
        if (i + 1 < v.data.size()) {
            out += ',';
            ++column;
        }
    }
    out += '\n';
}

void AppendKey(std::string& out, const Key& k, const std::string& path, bool isRoot) {
    if (!isRoot || !k.values.empty() || !k.verbatim.empty()) {
        out += '[';
        out += path;
        out += "]\n";
        for (const auto& v : k.values) AppendValue(out, v);
        for (const auto& line : k.verbatim) {
            out += line;
            out += '\n';
        }
        out += '\n';
    }
    for (const auto& [upper, child] : k.children)
        AppendKey(out, *child, path + "\\" + child->name, false);
}

std::string Serialize(const Hive& hive) {
    std::string out = kHeader;
    out += "\n\n";
    for (const auto& line : hive.prelude) {
        out += line;
        out += '\n';
    }
    if (!hive.prelude.empty())
        out += '\n';
    for (const auto& [upper, root] : hive.top.children) AppendKey(out, *root, root->name, true);
    for (const auto& line : hive.orphans) {
        out += line;
        out += '\n';
    }
    return out;
}

// ---------------------------------------------------------------- the file

int ErrnoResult(int e) {
    return (e == EACCES || e == EPERM || e == EROFS) ? kRegAccessDenied : kRegIoFailed;
}

// Holds the flock on "<file>.lock" for its lifetime.
class FileLock {
public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() {
        if (m_Fd >= 0)
            close(m_Fd);  // closing the descriptor releases the lock
    }

    int Acquire(const std::string& registryPath, bool exclusive) {
        std::string path = registryPath + ".lock";
        m_Fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_Fd < 0 && !exclusive)
            m_Fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_Fd < 0) {
            int e = errno;
            // A reader that may not create the lock file (a read-only
            // directory, or none yet) reads without it: rewrites are renames,
            // so it still sees one whole file.
            if (!exclusive && (e == EACCES || e == EPERM || e == EROFS || e == ENOENT))
                return kRegSuccess;
            return ErrnoResult(e);
        }
        // Holders only parse and rewrite a bounded file, so the wait is short;
        // a holder that dies releases the lock with its descriptor.
        while (flock(m_Fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR)
                return kRegIoFailed;
        }
        return kRegSuccess;
    }

private:
    int m_Fd = -1;
};

// Loads and parses the file; a missing file is an empty registry. mode
// receives the file's permission bits (0 when it does not exist).
int Load(const std::string& path, Hive& hive, mode_t& mode) {
    mode = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? kRegSuccess : ErrnoResult(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return kRegIoFailed;
    }
    if (static_cast<unsigned long long>(st.st_size) > kMaxFileSize) {
        close(fd);
        return kRegBadFile;
    }
    mode = st.st_mode & 07777;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return kRegIoFailed;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxFileSize) {  // grew while we read it
            close(fd);
            return kRegBadFile;
        }
    }
    close(fd);
    t_ParseWarnings = Parser(text).Parse(hive);
    return kRegSuccess;
}

// Replaces the file by a complete new one. REQUIRES: the exclusive lock.
int Store(const std::string& path, const Hive& hive, mode_t mode) {
    std::string text = Serialize(hive);
    std::string fresh = path + ".new";
    // A "<file>.new" left by a writer that died: nobody else can be writing
    // it while we hold the exclusive lock.
    unlink(fresh.c_str());
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return ErrnoResult(errno);
    bool ok = (mode == 0 || fchmod(fd, mode) == 0) && WriteAll(fd, text.data(), text.size(), nullptr) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(fresh.c_str(), path.c_str()) != 0) {
        unlink(fresh.c_str());
        return kRegIoFailed;
    }
    // Make the rename itself durable.
    std::string dir = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    if (dir.empty())
        dir = "/";
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return kRegSuccess;
}

// Takes the lock on the file (shared or exclusive), then loads the file into
// hive; path is the file's path.
int LockAndLoad(bool exclusive, FileLock& lock, std::string& path, Hive& hive, mode_t& mode) {
    t_ParseWarnings = 0;
    path = RegistryFilePath();
    int rc = lock.Acquire(path, exclusive);
    if (rc != kRegSuccess)
        return rc;
    return Load(path, hive, mode);
}

// Runs fn(const Hive&) on the file under the shared lock.
template <class Fn>
int ReadRegistry(Fn fn) {
    std::string path;
    FileLock lock;
    Hive hive;
    mode_t mode;
    int rc = LockAndLoad(false, lock, path, hive, mode);
    return rc != kRegSuccess ? rc : fn(hive);
}

// Runs fn(Hive&, bool& changed) under the exclusive lock and stores the tree
// when it succeeded and changed something.
template <class Fn>
int ChangeRegistry(Fn fn) {
    std::string path;
    FileLock lock;
    Hive hive;
    mode_t mode;
    int rc = LockAndLoad(true, lock, path, hive, mode);
    if (rc != kRegSuccess)
        return rc;
    bool changed = false;
    rc = fn(hive, changed);
    if (rc != kRegSuccess || !changed)
        return rc;
    return Store(path, hive, mode);
}

}  // namespace

std::string RegistryFilePath() {
    const char* path = getenv("ZELORM_REGISTRY");
    return (path && *path) ? path : kDefaultPath;
}

int RegKeyExists(const std::string& key) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts))
        return kRegBadArgument;
    return ReadRegistry([&](Hive& hive) { return hive.Find(parts) ? kRegSuccess : kRegNotFound; });
}

int RegQueryValue(const std::string& key, const std::string& name, RegValue& out) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts))
        return kRegBadArgument;
    return ReadRegistry([&](Hive& hive) {
        Key* k = hive.Find(parts);
        RegValue* v = k ? k->FindValue(name) : nullptr;
        if (v == nullptr)
            return kRegNotFound;
        out = *v;
        return kRegSuccess;
    });
}

int RegReadValueInto(const std::string& key, const std::string& name, void* buffer, size_t size,
                     uint32_t* type, size_t* length) {
    RegValue v;
    int rc = RegQueryValue(key, name, v);
    if (rc != kRegSuccess)
        return rc;
    if (type)
        *type = v.type;
    if (length)
        *length = v.data.size();
    if (buffer == nullptr)
        return kRegSuccess;
    bool text = v.type == kRegSz || v.type == kRegExpandSz || v.type == kRegMultiSz;
    // Text that is not stored with its NUL gets one, so that the caller can
    // never read past the value.
    bool addNul = text && (v.data.empty() || v.data.back() != '\0');
    if (v.data.size() + (addNul ? 1 : 0) > size)
        return kRegMoreData;
    memcpy(buffer, v.data.data(), v.data.size());
    if (addNul)
        static_cast<char*>(buffer)[v.data.size()] = '\0';
    return kRegSuccess;
}

int RegWriteValue(const std::string& key, const std::string& name, uint32_t type, const void* data,
                  size_t length) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts) || !ValidValueName(name) || length > kMaxValueData ||
        (data == nullptr && length > 0))
        return kRegBadArgument;
    std::string bytes(static_cast<const char*>(data), length);
    return ChangeRegistry([&](Hive& hive, bool& changed) {
        Key* k = hive.Find(parts);
        if (k == nullptr)
            return kRegNotFound;
        if (RegValue* v = k->FindValue(name)) {
            changed = v->type != type || v->data != bytes;
            v->type = type;
            v->data = std::move(bytes);
        } else {
            k->values.push_back(RegValue{name, type, std::move(bytes)});
            changed = true;
        }
        return kRegSuccess;
    });
}

int RegCreateKey(const std::string& key) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts))
        return kRegBadArgument;
    return ChangeRegistry([&](Hive& hive, bool& changed) {
        hive.Create(parts, &changed);
        return kRegSuccess;
    });
}

int RegDeleteValue(const std::string& key, const std::string& name) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts))
        return kRegBadArgument;
    return ChangeRegistry([&](Hive& hive, bool& changed) {
        Key* k = hive.Find(parts);
        if (k == nullptr)
            return kRegNotFound;
        for (auto it = k->values.begin(); it != k->values.end(); ++it) {
            if (SameName(it->name, name)) {
                k->values.erase(it);
                changed = true;
                return kRegSuccess;
            }
        }
        return kRegNotFound;
    });
}

int RegDeleteKey(const std::string& key) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts))
        return kRegBadArgument;
    if (parts.size() == 1)
        return kRegAccessDenied;
    std::string last = parts.back();
    parts.pop_back();
    return ChangeRegistry([&](Hive& hive, bool& changed) {
        Key* parent = hive.Find(parts);
        if (parent == nullptr || parent->children.erase(Upper(last)) == 0)
            return kRegNotFound;
        changed = true;
        return kRegSuccess;
    });
}

int RegListSubKeys(const std::string& key, std::vector<std::string>& out) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts))
        return kRegBadArgument;
    return ReadRegistry([&](Hive& hive) {
        Key* k = hive.Find(parts);
        if (k == nullptr)
            return kRegNotFound;
        out.clear();
        for (const auto& [upper, child] : k->children) out.push_back(child->name);
        return kRegSuccess;
    });
}

int RegListValues(const std::string& key, std::vector<RegValue>& out) {
    std::vector<std::string> parts;
    if (!ParseKeyPath(key, parts))
        return kRegBadArgument;
    return ReadRegistry([&](Hive& hive) {
        Key* k = hive.Find(parts);
        if (k == nullptr)
            return kRegNotFound;
        out = k->values;
        return kRegSuccess;
    });
}

int RegLastParseWarnings() {
    return t_ParseWarnings;
}

}  // namespace platform
