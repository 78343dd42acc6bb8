// The compiled catalogues against the code: every catalogue number that a
// source file passes to the event log, the debug log, an exception or a text
// look-up has a text, and where the text is used as a printf format, its
// conversions fit the arguments of that call in every language.
//
// The sources are scanned as text, not compiled, so the
// scanner keeps to what the code base does: a number is an integer literal,
// a k-constant ("kMsgFileOpenFailed = 93" in an enum or a constant), an
// element of a constant array ("kMsgWeekdays[day]"), or a local variable
// assigned such values (also through "c ? kA : kB"); a function that passes
// one of its own parameters on as the number (such as a file's reportErrno)
// becomes a call to check in its turn. A call whose number the scanner
// cannot resolve is itself a failure, so that no call escapes unseen.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/format_check.h"
#include "core/message_catalog.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFirstProductNumber = 2000000;

// How a catalogue function reads its number and uses the text. kinds are
// the argument kinds that fill the text (FormatMatches); null: the text is
// only looked up, its use is the caller's.
struct CallSpec {
    std::string name;
    size_t numberArgument;
    const char* kinds;
    bool followWrappers;  // a parameter passed as the number makes a wrapper
};

const std::vector<CallSpec>& BaseSpecs() {
    static const std::vector<CallSpec> specs = {
        {"LogEvent", 0, "", true},
        {"LogEventInt", 0, "d", true},
        {"LogEventIntInt", 0, "dd", true},
        {"LogEventStr", 0, "s", true},
        {"LogEventStrInt", 0, "sd", true},
        {"LogEventStrStrInt", 0, "ssd", true},
        {"LogEventStrString", 0, "ss", true},
        {"LogEventString", 0, "s", true},
        {"LogEventStringInt", 0, "sd", true},
        {"LogEventStringIntInt", 0, "sdd", true},
        {"LogErrorEventStrInt", 0, "sd", true},
        {"CVornException", 0, "sd", true},  // text and extra fill the event
        {"LogMessage", 1, "", true},        // written as it stands
        {"WriteEventLog", 1, nullptr, true},
        {"GetCatalogText", 0, nullptr, true},
        // The web administration's error page: a base or product text.
        {"ShowErrorMessage", 1, nullptr, true},
        // Accessor and table look-ups: the number is the last argument;
        // look-ups by computed numbers (dates) are checked separately.
        {"GetText", SIZE_MAX, nullptr, false},
    };
    return specs;
}

// The files that implement the functions above: their calls pass the
// callers' numbers on and are not uses of their own.
const std::set<std::string> kImplementations = {"core/event_log.cpp", "core/debug_log.cpp",
                                                "core/message_catalog.cpp",
                                                "core/vorn_exception.cpp"};

struct SourceFile {
    std::string path;  // relative to the root
    std::string text;  // comments and literal contents blanked, offsets kept
};

// Comments and the contents of string and character literals become blanks
// (newlines kept), so that neither can look like a call.
std::string Clean(const std::string& in) {
    std::string out = in;
    size_t i = 0;
    const size_t n = in.size();
    while (i < n) {
        if (in.compare(i, 2, "//") == 0) {
            while (i < n && in[i] != '\n') out[i++] = ' ';
        } else if (in.compare(i, 2, "/*") == 0) {
            size_t end = in.find("*/", i + 2);
            end = end == std::string::npos ? n : end + 2;
            for (; i < end; ++i)
                if (in[i] != '\n')
                    out[i] = ' ';
        } else if (in[i] == '"' || in[i] == '\'') {
            char quote = in[i++];
            while (i < n && in[i] != quote && in[i] != '\n') {
                if (in[i] == '\\' && i + 1 < n)
                    out[i++] = ' ';
                out[i++] = ' ';
            }
            ++i;
        } else {
            ++i;
        }
    }
    return out;
}

std::vector<SourceFile> ReadSources(const fs::path& root) {
    static const std::set<std::string> kSkipped = {"tests", "bench", "data", "docs", "scripts"};
    std::vector<SourceFile> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string name = it->path().filename().string();
        if (it->is_directory()) {
            if (name.rfind("build", 0) == 0 || name[0] == '.' || kSkipped.count(name))
                it.disable_recursion_pending();
            continue;
        }
        std::string ext = it->path().extension().string();
        if (ext != ".cpp" && ext != ".h")
            continue;
        std::string relative = fs::relative(it->path(), root).generic_string();
        if (kImplementations.count(relative))
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        files.push_back({relative, Clean(bytes.str())});
    }
    return files;
}

int LineOf(const std::string& text, size_t offset) {
    int line = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
    return line;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The arguments of the call whose "(" is at open, split at top-level
// commas; false when the parentheses do not close.
bool Arguments(const std::string& text, size_t open, std::vector<std::string>& out,
               size_t* close = nullptr) {
    out.clear();
    int depth = 0;
    size_t start = open + 1;
    for (size_t i = open; i < text.size(); ++i) {
        char c = text[i];
        if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            if (--depth == 0) {
                std::string last = Trim(text.substr(start, i - start));
                if (!last.empty() || !out.empty())
                    out.push_back(last);
                if (close)
                    *close = i;
                return true;
            }
        } else if (c == ',' && depth == 1) {
            out.push_back(Trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    return false;
}

bool IsWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool IsIdentifier(const std::string& s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0])))
        return false;
    for (char c : s)
        if (!IsWordChar(c))
            return false;
    return true;
}

bool IsInteger(const std::string& s) {
    size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    if (i == s.size())
        return false;
    for (; i < s.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// "int number", "const char* text = nullptr": a parameter, not an argument
// (two or more words, types may hold "::" and "<>", and "*" or "&").
bool IsDeclaration(const std::string& s) {
    std::string head = s.substr(0, s.find('='));
    int words = 0;
    size_t i = 0;
    while (i < head.size()) {
        char c = head[i];
        if (IsSpace(c) || c == '*' || c == '&') {
            ++i;
        } else if (IsWordChar(c)) {
            ++words;
            while (i < head.size() &&
                   (IsWordChar(head[i]) || head[i] == ':' || head[i] == '<' || head[i] == '>'))
                ++i;
        } else {
            return false;
        }
    }
    return words >= 2;
}

// The parameter name of a declaration ("const char* text = 0" -> "text").
std::string ParameterName(std::string s) {
    size_t eq = s.find('=');
    if (eq != std::string::npos)
        s = s.substr(0, eq);
    s = Trim(s);
    size_t b = s.size();
    while (b > 0 && IsWordChar(s[b - 1])) --b;
    return s.substr(b);
}

// The word that ends just before end (after skipping white space back);
// start receives where it begins.
std::string WordBefore(const std::string& text, size_t end, size_t& start) {
    while (end > 0 && IsSpace(text[end - 1])) --end;
    start = end;
    while (start > 0 && IsWordChar(text[start - 1])) --start;
    return text.substr(start, end - start);
}

// Positions of the "(" of every call of name (the whole word, then "(").
std::vector<size_t> CallsOf(const std::string& text, const std::string& name) {
    std::vector<size_t> opens;
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        if (at > 0 && IsWordChar(text[at - 1]))
            continue;
        size_t i = at + name.size();
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i < text.size() && text[i] == '(' && !IsWordChar(text[at + name.size()]))
            opens.push_back(i);
    }
    return opens;
}

struct Constants {
    std::map<std::string, std::map<std::string, long long>> byFile;  // file -> name -> value
    std::map<std::string, std::set<long long>> global;

    // "kName = 123" (enumerators and constants); "==" is no definition.
    void Collect(const SourceFile& file) {
        const std::string& t = file.text;
        for (size_t at = t.find('k'); at != std::string::npos; at = t.find('k', at + 1)) {
            if ((at > 0 && IsWordChar(t[at - 1])) || at + 1 >= t.size() ||
                !std::isupper(static_cast<unsigned char>(t[at + 1])))
                continue;
            size_t i = at;
            while (i < t.size() && IsWordChar(t[i])) ++i;
            std::string name = t.substr(at, i - at);
            while (i < t.size() && IsSpace(t[i])) ++i;
            if (i + 1 >= t.size() || t[i] != '=' || t[i + 1] == '=')
                continue;
            ++i;
            while (i < t.size() && IsSpace(t[i])) ++i;
            size_t start = i;
            if (i < t.size() && t[i] == '-')
                ++i;
            while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
            std::string digits = t.substr(start, i - start);
            if (!IsInteger(digits) || digits.size() > 12 || (i < t.size() && IsWordChar(t[i])))
                continue;
            long long value = std::stoll(digits);
            byFile[file.path][name] = value;
            global[name].insert(value);
        }
    }

    // The value of an integer literal or of a k-constant of this file, else
    // of a k-constant defined once (with one value) anywhere.
    bool Resolve(const std::string& file, const std::string& token, long long& out) const {
        if (IsInteger(token) && token.size() <= 12) {
            out = std::stoll(token);
            return true;
        }
        auto local = byFile.find(file);
        if (local != byFile.end()) {
            auto found = local->second.find(token);
            if (found != local->second.end()) {
                out = found->second;
                return true;
            }
        }
        auto found = global.find(token);
        if (found != global.end() && found->second.size() == 1) {
            out = *found->second.begin();
            return true;
        }
        return false;
    }
};

// When the "{" at brace opens a function body ("name(parameters) const {"),
// its name and parameter text.
bool FunctionAt(const std::string& text, size_t brace, std::string& name, std::string& parameters) {
    static const std::set<std::string> kQualifiers = {"const", "noexcept", "override"};
    static const std::set<std::string> kKeywords = {"if", "for", "while", "switch", "catch"};
    size_t i = brace;
    for (;;) {
        size_t start;
        std::string word = WordBefore(text, i, start);
        if (word.empty()) {
            i = start;
            break;
        }
        if (!kQualifiers.count(word))
            return false;
        i = start;
    }
    if (i == 0 || text[i - 1] != ')')
        return false;
    size_t close = i - 1;
    size_t open = close;
    while (open > 0) {
        char c = text[--open];
        if (c == '(')
            break;
        if (c == ')' || c == ';' || c == '{' || c == '}')
            return false;
    }
    if (text[open] != '(')
        return false;
    size_t start;
    name = WordBefore(text, open, start);
    if (!IsIdentifier(name) || kKeywords.count(name))
        return false;
    parameters = text.substr(open + 1, close - open - 1);
    return true;
}

// The name and parameter names of the last function body that opens
// before offset, and where its "{" is; false when there is none.
bool EnclosingFunction(const std::string& text, size_t offset, std::string& name,
                       std::vector<std::string>& parameters, size_t& body) {
    bool found = false;
    std::string candidate, list;
    for (size_t at = text.find('{'); at != std::string::npos && at < offset;
         at = text.find('{', at + 1)) {
        if (!FunctionAt(text, at, candidate, list))
            continue;
        name = candidate;
        body = at;
        parameters.clear();
        std::stringstream stream(list);
        std::string parameter;
        while (std::getline(stream, parameter, ',')) parameters.push_back(ParameterName(parameter));
        found = true;
    }
    return found;
}

// The values an expression can give: "kA", or every branch of a chain of
// conditionals "c1 ? kA : c2 ? kB : kC". False when one does not resolve.
bool ResolveValues(const Constants& constants, const std::string& file,
                   const std::string& expression, std::vector<long long>& out) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= expression.size(); ++i) {
        if (i == expression.size() || expression[i] == '?' || expression[i] == ':') {
            parts.push_back(Trim(expression.substr(start, i - start)));
            start = i + 1;
        }
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i % 2 == 0 && i + 1 != parts.size())
            continue;  // a condition
        long long value;
        if (!constants.Resolve(file, parts[i], value))
            return false;
        out.push_back(value);
    }
    return true;
}

// The end of the word name at at, when at starts the whole word name.
bool WholeWordAt(const std::string& t, size_t at, const std::string& name, size_t& end) {
    end = at + name.size();
    return (at == 0 || !IsWordChar(t[at - 1])) && (end >= t.size() || !IsWordChar(t[end]));
}

size_t SkipSpace(const std::string& t, size_t i) {
    while (i < t.size() && IsSpace(t[i])) ++i;
    return i;
}

// "name[index]" where the file defines "name[...] = {a, b, ...}" with values
// that resolve: every element.
bool ResolveIndexed(const Constants& constants, const SourceFile& file, const std::string& argument,
                    std::vector<long long>& out) {
    size_t bracket = argument.find('[');
    if (bracket == std::string::npos || argument.back() != ']')
        return false;
    std::string name = Trim(argument.substr(0, bracket));
    if (!IsIdentifier(name))
        return false;
    const std::string& t = file.text;
    for (size_t at = t.find(name); at != std::string::npos; at = t.find(name, at + 1)) {
        size_t i;
        if (!WholeWordAt(t, at, name, i))
            continue;
        i = SkipSpace(t, i);
        if (i >= t.size() || t[i] != '[')
            continue;
        size_t close = t.find(']', i);
        if (close == std::string::npos || t.find_first_of(";{}", i) < close)
            continue;
        i = SkipSpace(t, close + 1);
        if (i >= t.size() || t[i] != '=')
            continue;
        i = SkipSpace(t, i + 1);
        if (i >= t.size() || t[i] != '{')
            continue;
        size_t end = t.find('}', i);
        if (end == std::string::npos)
            return false;
        std::stringstream elements(t.substr(i + 1, end - i - 1));
        std::string element;
        while (std::getline(elements, element, ',')) {
            long long value;
            if (Trim(element).empty())
                continue;
            if (!constants.Resolve(file.path, Trim(element), value))
                return false;
            out.push_back(value);
        }
        return !out.empty();
    }
    return false;
}

// A local variable: the values of every assignment "name = ..." between
// the function's "{" and the call.
bool ResolveAssigned(const Constants& constants, const SourceFile& file, size_t body, size_t call,
                     const std::string& name, std::vector<long long>& out) {
    const std::string& t = file.text;
    bool any = false;
    for (size_t at = t.find(name, body); at != std::string::npos && at < call;
         at = t.find(name, at + 1)) {
        size_t i;
        if (!WholeWordAt(t, at, name, i))
            continue;
        i = SkipSpace(t, i);
        if (i + 1 >= t.size() || t[i] != '=' || t[i + 1] == '=')
            continue;
        size_t end = t.find(';', i);
        if (end == std::string::npos ||
            !ResolveValues(constants, file.path, t.substr(i + 1, end - i - 1), out))
            return false;
        any = true;
    }
    return any;
}

struct Use {
    std::string where;  // file:line
    std::string call;
    long long number;
    const char* kinds;
};

struct ScanResult {
    std::vector<Use> uses;
    std::vector<std::string> problems;  // calls the scanner could not resolve
};

// Every catalogue number the sources under root use, with the kinds that
// fill its text.
ScanResult Scan(const fs::path& root) {
    ScanResult result;
    std::vector<SourceFile> files = ReadSources(root);
    Constants constants;
    for (const SourceFile& file : files) constants.Collect(file);

    std::vector<CallSpec> specs = BaseSpecs();
    std::set<std::string> problemSet;
    for (size_t next = 0; next < specs.size(); ++next) {
        const CallSpec spec = specs[next];
        for (const SourceFile& file : files) {
            const std::string& text = file.text;
            for (size_t open : CallsOf(text, spec.name)) {
                std::vector<std::string> arguments;
                if (!Arguments(text, open, arguments) || arguments.empty())
                    continue;
                size_t index =
                    spec.numberArgument == SIZE_MAX ? arguments.size() - 1 : spec.numberArgument;
                if (index >= arguments.size())
                    continue;
                const std::string& argument = arguments[index];
                std::string where = file.path + ":" + std::to_string(LineOf(text, open));
                long long number;
                if (constants.Resolve(file.path, argument, number)) {
                    result.uses.push_back({where, spec.name, number, spec.kinds});
                    continue;
                }
                if (IsDeclaration(argument) || !spec.followWrappers)
                    continue;
                std::vector<long long> numbers;
                std::string function;
                std::vector<std::string> parameters;
                size_t body = 0;
                size_t position = SIZE_MAX;
                bool enclosed = EnclosingFunction(text, open, function, parameters, body);
                for (size_t p = 0; enclosed && p < parameters.size(); ++p)
                    if (parameters[p] == argument)
                        position = p;
                if (position == SIZE_MAX) {
                    if (ResolveIndexed(constants, file, argument, numbers) ||
                        (enclosed && IsIdentifier(argument) &&
                         ResolveAssigned(constants, file, body, open, argument, numbers))) {
                        for (long long n : numbers)
                            result.uses.push_back({where, spec.name, n, spec.kinds});
                    } else {
                        problemSet.insert(where + ": " + spec.name + ": cannot tell the number \"" +
                                          argument + "\"");
                    }
                    continue;
                }
                bool known = false;
                for (const CallSpec& s : specs) {
                    if (s.name != function)
                        continue;
                    known = true;
                    bool sameKinds = (s.kinds == nullptr) == (spec.kinds == nullptr) &&
                                     (s.kinds == nullptr || std::string(s.kinds) == spec.kinds);
                    if (s.numberArgument != position || !sameKinds)
                        problemSet.insert(where + ": " + function +
                                          " passes its number on to calls of different kinds");
                }
                if (!known)
                    specs.push_back({function, position, spec.kinds, true});
            }
        }
    }
    result.problems.assign(problemSet.begin(), problemSet.end());
    return result;
}

struct Catalogues {
    CVornMessageTable base;
    CVornMessageTable product;
};

// Problems of the uses against the catalogues, one line each.
std::vector<std::string> Check(const std::vector<Use>& uses, const Catalogues& catalogues) {
    std::vector<std::string> problems;
    for (const Use& use : uses) {
        std::string head = use.where + ": " + use.call + " " + std::to_string(use.number);
        bool product = use.number >= kFirstProductNumber;
        // GetText of a product accessor and the error page read both
        // catalogues.
        if (product && use.call != "GetText" && use.call != "ShowErrorMessage") {
            problems.push_back(head + ": only the base catalogue is read here");
            continue;
        }
        const CVornMessageTable& table = product ? catalogues.product : catalogues.base;
        int number = static_cast<int>(use.number);
        if (table.GetText(0, number) == nullptr) {
            problems.push_back(head + ": no text");
            continue;
        }
        if (use.kinds == nullptr)
            continue;
        for (int language = 0; language < table.GetLanguageCount(); ++language) {
            const char* text = table.GetText(language, number);
            if (!FormatMatches(text, use.kinds))
                problems.push_back(head + ": text of language " + std::to_string(language) +
                                   " does not take (" + use.kinds + "): \"" + text + "\"");
        }
    }
    return problems;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += "  " + line + "\n";
    return out;
}

class CatalogDataTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_Catalogues = new Catalogues;
        s_BaseResult = s_Catalogues->base.ReadFile(ZELORM_CATALOG_DIR "/messages", 2, 9, 883, 0);
        s_ProductResult =
            s_Catalogues->product.ReadFile(ZELORM_CATALOG_DIR "/tkmessages", 2, 5, 34, 2000000);
    }
    static void TearDownTestSuite() {
        delete s_Catalogues;
        s_Catalogues = nullptr;
    }

    static Catalogues* s_Catalogues;
    static int s_BaseResult;
    static int s_ProductResult;
};

Catalogues* CatalogDataTest::s_Catalogues = nullptr;
int CatalogDataTest::s_BaseResult = -1;
int CatalogDataTest::s_ProductResult = -1;

TEST_F(CatalogDataTest, CompiledCataloguesLoadWithTheSameLanguages) {
    ASSERT_EQ(kCatalogLoaded, s_BaseResult);
    ASSERT_EQ(kCatalogLoaded, s_ProductResult);
    const CVornMessageTable& base = s_Catalogues->base;
    const CVornMessageTable& product = s_Catalogues->product;
    ASSERT_EQ(base.GetLanguageCount(), product.GetLanguageCount());
    ASSERT_GE(base.GetLanguageCount(), 2);
    // One process-wide language index serves both tables.
    for (const char* locale : {"C", "POSIX", "C.UTF-8", "en", "en_US", "en_US.UTF-8", "en.UTF-8",
                               "de", "de_DE", "de_DE.UTF-8", "de_AT.UTF-8", "fr_FR.UTF-8"})
        EXPECT_EQ(base.FindLanguageForLocale(locale), product.FindLanguageForLocale(locale))
            << locale;
    for (const char* english :
         {"C", "POSIX", "C.UTF-8", "POSIX.UTF-8", "en", "en_US", "en.UTF-8", "en_US.UTF-8"})
        EXPECT_EQ(0, base.FindLanguageForLocale(english)) << english;
    int german = base.FindLanguageForLocale("de_DE.UTF-8");
    EXPECT_GT(german, 0);
    EXPECT_STREQ("English", base.GetText(0, 2));
    EXPECT_STREQ("German", base.GetText(german, 2));
}

TEST_F(CatalogDataTest, DateNamesYearsAndTemplatesHaveTexts) {
    ASSERT_EQ(kCatalogLoaded, s_BaseResult);
    const CVornMessageTable& base = s_Catalogues->base;
    // Day and month names are read back from dates, so within one language
    // no two may be equal.
    for (int language = 0; language < base.GetLanguageCount(); ++language) {
        std::set<std::string> names;
        for (int number = 685; number <= 710; ++number) {
            const char* text = base.GetText(language, number);
            ASSERT_NE(nullptr, text) << number;
            EXPECT_TRUE(names.insert(text).second) << "repeated name " << text;
        }
    }
    for (int year = 1995; year <= 2099; ++year)
        EXPECT_STREQ(std::to_string(year).c_str(), base.GetText(0, year - 1284));
    // The hour names of the 24-hour time box: 661 is hour 0.
    for (int hour = 0; hour < 24; ++hour) EXPECT_NE(nullptr, base.GetText(0, 661 + hour)) << hour;
    EXPECT_NE(nullptr, base.GetText(0, 816));
    EXPECT_NE(nullptr, base.GetText(0, 817));
}

TEST_F(CatalogDataTest, EveryNumberInTheSourcesHasAFittingText) {
    ASSERT_EQ(kCatalogLoaded, s_BaseResult);
    ASSERT_EQ(kCatalogLoaded, s_ProductResult);
    ScanResult scan = Scan(ZELORM_SOURCE_DIR);
    EXPECT_TRUE(scan.problems.empty()) << "calls the scan cannot check:\n" << Joined(scan.problems);
    std::vector<std::string> problems = Check(scan.uses, *s_Catalogues);
    EXPECT_TRUE(problems.empty()) << "catalogue numbers without a fitting text:\n"
                                  << Joined(problems);

    // The scan must see the calls it exists for: a direct call with a
    // named constant, and one through a wrapper in a header.
    bool registryEvent = false, listError = false;
    for (const Use& use : scan.uses) {
        registryEvent = registryEvent || (use.where.rfind("core/registry.cpp:", 0) == 0 &&
                                          use.number == 47 && use.call == "LogEventStrStrInt");
        listError = listError || (use.call == "ThrowVornListError" && use.number == 61);
    }
    EXPECT_TRUE(registryEvent);
    EXPECT_TRUE(listError);
}

// The scanner and the check on a small tree and catalogue of their own:
// each way a call can go wrong is found, and the calls that are right are
// not reported.
TEST(CatalogScanTest, FindsMissingAndMisfittingTexts) {
    char pattern[] = "/tmp/zelorm-catscan-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    const fs::path root = pattern;
    fs::create_directories(root / "net" / "tests");
    // Numbers 0-9 in English and German: 3 takes (s, s, d) in both; 7 takes
    // (s, d) in English but only (d) in German.
    std::ofstream(root / "messages") << "2 9 2\nEnglish en\nGerman de\n"
                                        "  m 1:a\n  m 1:a\n  m -1:\n  m -1:\n  m -1:\n  m -1:\n"
                                        "  m 8:%s %s %d\n  m -1:\n"
                                        "  m -1:\n  m -1:\n  m -1:\n  m -1:\n  m -1:\n  m -1:\n"
                                        "  m 6:%s, %d\n  m 2:%d\n"
                                        "  m -1:\n  m -1:\n  m -1:\n  m -1:\n";
    Catalogues catalogues;
    ASSERT_EQ(kCatalogLoaded, catalogues.base.ReadFile((root / "messages").c_str(), 2, 9, 10, 0));
    std::ofstream(root / "net" / "codes.h") << "enum : int { kMsgSample = 3, kMsgNone = 5 };\n";
    std::ofstream(root / "net" / "sample.cpp")
        << "#include \"net/codes.h\"\n"
           "// LogEvent(1, 1) in a comment is no call\n"
           "void Fine(const char* k) { LogEventStrStrInt(kMsgSample, 1, k, \"LogEvent(2, 1)\", 2); "
           "}\n"
           "void Missing() { LogEventStr(kMsgNone, 1, \"x\"); }\n"
           "void Misfit() { LogEventInt(3, 1, 3); }\n"
           "void report(int code, int error) { LogEventStrInt(code, 1, \"p\", error); }\n"
           "void UsesWrapper() { report(6, 0); report(7, 1); }\n"
           "void Unknown(int a) { int n = a + 1; LogEvent(n, 1); }\n"
           "void Product() { LogEvent(2000033, 4); }\n"
           "void Local(bool f) { int pick = f ? kMsgSample : 8; LogEventStrStrInt(pick, 1, \"\", "
           "\"\", 0); }\n"
           "const int kTable[2] = {3, 9};\n"
           "void Indexed(int i) { LogEventStrStrInt(kTable[i], 1, \"\", \"\", 0); }\n";
    std::ofstream(root / "net" / "tests" / "ignored_test.cpp") << "void T() { LogEvent(4, 1); }\n";

    ScanResult scan = Scan(root);
    std::vector<std::string> problems = Check(scan.uses, catalogues);
    fs::remove_all(root);

    ASSERT_EQ(1u, scan.problems.size()) << Joined(scan.problems);
    EXPECT_NE(std::string::npos, scan.problems[0].find("net/sample.cpp:8: LogEvent: cannot tell"));
    const std::vector<std::string> expected = {
        "net/sample.cpp:4: LogEventStr 5: no text",
        "net/sample.cpp:5: LogEventInt 3: text of language 0 does not take (d)",
        "net/sample.cpp:5: LogEventInt 3: text of language 1 does not take (d)",
        "net/sample.cpp:7: report 6: no text",
        "net/sample.cpp:7: report 7: text of language 1 does not take (sd): \"%d\"",
        "net/sample.cpp:9: LogEvent 2000033: only the base catalogue is read here",
        "net/sample.cpp:10: LogEventStrStrInt 8: no text",
        "net/sample.cpp:12: LogEventStrStrInt 9: no text",
    };
    EXPECT_EQ(expected.size(), problems.size()) << Joined(problems);
    std::string all = Joined(problems);
    for (const std::string& line : expected)
        EXPECT_NE(std::string::npos, all.find(line)) << line << "\nin:\n" << all;
}

}  // namespace
