// catalog_compiler: turns a readable message table (messages.txt,
// tkmessages.txt) into the catalogue file that core/message_catalog.cpp
// reads. Run by the build:
//
//   catalog_compiler TABLE OUTPUT
//
// The table, one item a line (a trailing CR is ignored):
//   # comment                  a line whose first non-blank byte is '#'
//                              (blank lines are skipped too)
//   header H1 H2               the two header values the reader expects
//   first N                    the number of the first message
//   count N                    how many numbers the file holds
//   language TAG WORD...       one language, in order (the first is the
//                              fallback language 0); its line in the file is
//                              TAG and the words, which are the names the
//                              locale is matched against
//   NUMBER TAG TEXT            the text of one number in one language
// The four directives come before the first text. TEXT runs from the first
// non-blank byte after TAG to the end of the line; in it "\n", "\r", "\t",
// "\s" (a blank) and "\\" are escapes. Raw control bytes, a raw blank or tab
// at the end of a text, and other escapes are refused, so no invisible byte
// changes a text. Numbers without a text in a language are written as "no
// text" and fall back to language 0 when read.
//
// Bad input: any malformed line, an unknown language, a number outside
// first .. first + count - 1, a repeated text, a text of 1024 bytes or more,
// or a text in another language for a number that language 0 lacks stops
// the compiler with "TABLE:LINE: error: ..." on standard error and exit
// code 1; nothing is written then. The output is written under a temporary
// name and renamed into place, so it is never half written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kMaxLanguages = 25;        // the reader's limit
constexpr size_t kMaxTextLength = 1023;  // the reader refuses 1024 and more
constexpr size_t kMaxLineLength = 8192;
constexpr long long kMaxCount = 100000;

struct Language {
    std::string tag;
    std::string line;  // tag and words, blank-separated, without newline
    int sourceLine = 0;
};

struct Text {
    std::string bytes;
    int sourceLine = 0;
};

struct Table {
    bool haveHeader = false, haveFirst = false, haveCount = false;
    long long header1 = 0, header2 = 0, first = 0, count = 0;
    std::vector<Language> languages;
    std::map<std::pair<long long, int>, Text> texts;  // (number, language)
};

class Failure {
public:
    Failure(int line, std::string message) : m_Line(line), m_Message(std::move(message)) {}
    int m_Line;
    std::string m_Message;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Splits off the next blank-separated word at pos; empty at the end.
std::string NextWord(const std::string& line, size_t& pos) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    size_t start = pos;
    while (pos < line.size() && !IsBlank(line[pos])) ++pos;
    return line.substr(start, pos - start);
}

// A decimal integer with an optional leading '-', within +/- 2^31.
bool ParseNumber(const std::string& word, long long& out) {
    if (word.empty())
        return false;
    size_t i = word[0] == '-' ? 1 : 0;
    if (i == word.size() || word.size() - i > 10)
        return false;
    long long value = 0;
    for (; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9')
            return false;
        value = value * 10 + (word[i] - '0');
    }
    out = word[0] == '-' ? -value : value;
    return out >= -2147483648LL && out <= 2147483647LL;
}

std::string Unescape(const std::string& raw, int lineNumber) {
    if (IsBlank(raw.back()))
        throw Failure(lineNumber, "text ends in white space (write a final blank as \\s)");
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c < 0x20 || c == 0x7f)
            throw Failure(lineNumber, "control byte in text (use \\t, \\n or \\r)");
        if (c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        if (++i == raw.size())
            throw Failure(lineNumber, "text ends in a lone backslash");
        switch (raw[i]) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 's':
                out += ' ';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                throw Failure(lineNumber, std::string("unknown escape \\") + raw[i] + " in text");
        }
    }
    if (out.size() > kMaxTextLength)
        throw Failure(lineNumber, "text is " + std::to_string(out.size()) +
                                      " bytes long; at most " + std::to_string(kMaxTextLength) +
                                      " are allowed");
    return out;
}

void Directive(Table& table, const std::string& keyword, const std::string& line, size_t pos,
               int lineNumber) {
    if (!table.texts.empty())
        throw Failure(lineNumber, "\"" + keyword + "\" after the first text");
    if (keyword == "language") {
        if (static_cast<int>(table.languages.size()) == kMaxLanguages)
            throw Failure(lineNumber, "more than " + std::to_string(kMaxLanguages) + " languages");
        Language language;
        language.sourceLine = lineNumber;
        language.tag = NextWord(line, pos);
        if (language.tag.empty())
            throw Failure(lineNumber, "\"language\" needs a tag");
        for (const Language& l : table.languages)
            if (l.tag == language.tag)
                throw Failure(lineNumber, "language \"" + language.tag + "\" is declared twice");
        language.line = language.tag;
        for (std::string word = NextWord(line, pos); !word.empty(); word = NextWord(line, pos))
            language.line += " " + word;
        if (language.line.size() + 1 > kMaxTextLength)
            throw Failure(lineNumber, "language line too long");
        table.languages.push_back(language);
        return;
    }

    std::vector<long long> values;
    for (std::string word = NextWord(line, pos); !word.empty(); word = NextWord(line, pos)) {
        long long value;
        if (!ParseNumber(word, value))
            throw Failure(lineNumber, "\"" + word + "\" is not a number");
        values.push_back(value);
    }
    bool* have;
    size_t expected = keyword == "header" ? 2 : 1;
    if (keyword == "header")
        have = &table.haveHeader;
    else if (keyword == "first")
        have = &table.haveFirst;
    else if (keyword == "count")
        have = &table.haveCount;
    else
        throw Failure(lineNumber, "unknown directive \"" + keyword + "\"");
    if (values.size() != expected)
        throw Failure(lineNumber, "\"" + keyword + "\" takes " + std::to_string(expected) +
                                      (expected == 1 ? " number" : " numbers"));
    if (*have)
        throw Failure(lineNumber, "\"" + keyword + "\" is given twice");
    *have = true;
    if (keyword == "header") {
        table.header1 = values[0];
        table.header2 = values[1];
    } else if (keyword == "first") {
        table.first = values[0];
    } else {
        if (values[0] < 0 || values[0] > kMaxCount)
            throw Failure(lineNumber, "count must lie between 0 and " + std::to_string(kMaxCount));
        table.count = values[0];
    }
}

void Entry(Table& table, const std::string& numberWord, const std::string& line, size_t pos,
           int lineNumber) {
    if (!table.haveHeader || !table.haveFirst || !table.haveCount || table.languages.empty())
        throw Failure(lineNumber,
                      "\"header\", \"first\", \"count\" and at least one "
                      "\"language\" must come before the first text");
    long long number;
    if (!ParseNumber(numberWord, number))
        throw Failure(lineNumber, "\"" + numberWord + "\" is neither a directive nor a number");
    if (number < table.first || number >= table.first + table.count)
        throw Failure(lineNumber, "number " + numberWord + " lies outside " +
                                      std::to_string(table.first) + " .. " +
                                      std::to_string(table.first + table.count - 1));
    std::string tag = NextWord(line, pos);
    int language = -1;
    for (size_t i = 0; i < table.languages.size(); ++i)
        if (table.languages[i].tag == tag)
            language = static_cast<int>(i);
    if (tag.empty())
        throw Failure(lineNumber, "language tag missing");
    if (language < 0)
        throw Failure(lineNumber, "unknown language \"" + tag + "\"");
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos == line.size())
        throw Failure(lineNumber, "text missing");
    Text text;
    text.bytes = Unescape(line.substr(pos), lineNumber);
    text.sourceLine = lineNumber;
    auto key = std::make_pair(number, language);
    auto found = table.texts.find(key);
    if (found != table.texts.end())
        throw Failure(lineNumber, "second text for " + numberWord + " " + tag +
                                      " (the first is on line " +
                                      std::to_string(found->second.sourceLine) + ")");
    table.texts.emplace(key, std::move(text));
}

Table Parse(std::istream& in) {
    Table table;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.size() > kMaxLineLength)
            throw Failure(lineNumber,
                          "line longer than " + std::to_string(kMaxLineLength) + " bytes");
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t pos = 0;
        std::string first = NextWord(line, pos);
        if (first.empty() || first[0] == '#')
            continue;
        if (first[0] >= 'a' && first[0] <= 'z')
            Directive(table, first, line, pos, lineNumber);
        else
            Entry(table, first, line, pos, lineNumber);
    }
    if (in.bad())
        throw Failure(lineNumber, "read error");
    ++lineNumber;  // problems of the whole table are reported past its end
    if (!table.haveHeader || !table.haveFirst || !table.haveCount || table.languages.empty())
        throw Failure(lineNumber,
                      "\"header\", \"first\", \"count\" and at least one "
                      "\"language\" are required");
    if (table.first + table.count - 1 > 2147483647LL)
        throw Failure(lineNumber, "the last number does not fit an int");
    for (const auto& [key, text] : table.texts) {
        if (key.second != 0 && table.texts.count(std::make_pair(key.first, 0)) == 0)
            throw Failure(text.sourceLine,
                          "text in \"" + table.languages[key.second].tag + "\" for " +
                              std::to_string(key.first) + ", which has no text in \"" +
                              table.languages[0].tag + "\" (the fallback language)");
    }
    return table;
}

std::string Render(const Table& table) {
    std::ostringstream out;
    out << table.header1 << ' ' << table.header2 << ' ' << table.languages.size() << '\n';
    for (const Language& language : table.languages) out << language.line << '\n';
    for (long long number = table.first; number < table.first + table.count; ++number) {
        for (size_t i = 0; i < table.languages.size(); ++i) {
            out << "  " << number << '.' << table.languages[i].tag << ' ';
            auto found = table.texts.find(std::make_pair(number, static_cast<int>(i)));
            if (found == table.texts.end())
                out << "-1:\n";
            else
                out << found->second.bytes.size() << ':' << found->second.bytes << '\n';
        }
    }
    return out.str();
}

bool WriteAtomically(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".tmp";
    FILE* f = fopen(temporary.c_str(), "wbe");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = fclose(f) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    remove(temporary.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s TABLE OUTPUT\n", argc > 0 ? argv[0] : "catalog_compiler");
        return 2;
    }
    const char* source = argv[1];
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        fprintf(stderr, "%s: error: cannot open: %s\n", source, strerror(errno));
        return 1;
    }
    try {
        Table table = Parse(in);
        if (!WriteAtomically(argv[2], Render(table))) {
            fprintf(stderr, "%s: error: cannot write: %s\n", argv[2], strerror(errno));
            return 1;
        }
    } catch (const Failure& failure) {
        fprintf(stderr, "%s:%d: error: %s\n", source, failure.m_Line, failure.m_Message.c_str());
        return 1;
    }
    return 0;
}
