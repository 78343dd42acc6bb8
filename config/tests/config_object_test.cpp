// Configuration objects: the text form of attribute lists (escaping, bounds,
// refusals), the kinds with state letters, base attributes and list owners.
#include "config/config_object.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/time_event.h"
#include "core/code_page.h"
#include "core/memory_file.h"

namespace {

std::string Str(const CVornString& s) {
    CVornString copy(s, CVornString::kUnlocked);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

CVornString Bytes(const std::string& s) {
    return CVornString(s.data(), static_cast<int>(s.size()));
}

// Everything written to the memory file so far.
std::string Contents(CVornMemoryFile& file) {
    CVornString out(CVornString::kUnlocked);
    file.Seek(0, 0);
    if (file.Read(out, 0) <= 0)
        return "";
    return Str(out);
}

std::string Written(CVornConfigObject& object) {
    CVornMemoryFile file;
    file.Open();
    EXPECT_EQ(object.Write(file), 0);
    return Contents(file);
}

std::string Attribute(CVornConfigObject& object, const char* name) {
    CVornString value;
    if (!object.GetBaseAttribute(name, value))
        return "<absent>";
    return Str(value);
}

// A line of the configuration files ends at its LF and loses every trailing
// CR and LF; the object text is what the store hands to Parse.
std::string AsReadFromFile(std::string line) {
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "the text must be one line";
    EXPECT_EQ(line.find('\0'), std::string::npos);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    return line;
}

// Runs the test body with g_CodePage set to type, restoring it after.
class CodePageScope {
public:
    explicit CodePageScope(int type) : m_Saved(g_CodePage.GetType()) { g_CodePage.SetType(type); }
    ~CodePageScope() { g_CodePage.SetType(m_Saved); }

private:
    int m_Saved;
};

// Names and values that a careless writer would let break its line.
const std::vector<std::pair<std::string, std::string>> kHostile = {
    {"Plain", "value"},
    {"Comma", "a,b,,c"},
    {"Backslash", "C:\\Temp\\"},
    {"EscapedLooking", "\\,\\\\\\x0D\\x41"},
    {"Lines", "one\r\ntwo\nthree\r"},
    {"Nul", std::string("a\0b", 3)},
    {"Empty", ""},
    {"", "empty name"},
    {"Name=With=Equals", "v"},
    {"Name\\With\\Backslashes\\", "v"},
    {"Name,With,Commas", "v"},
    {"Name\r\nWith\nLines", "v"},
    {"Cast", "group"},
};

std::vector<std::pair<char, std::function<CVornConfigObject*()>>> Kinds() {
    return {
        {'S', [] { return new CVornSystemObject; }}, {'U', [] { return new CVornUser; }},
        {'G', [] { return new CVornGroup; }},        {'C', [] { return new CVornClient; }},
        {'L', [] { return new CVornMailingList; }},  {'D', [] { return new CVornDictionary; }},
    };
}

TEST(ConfigObjectText, EveryKindRoundTripsHostileAttributesAndEventsThroughOneLine) {
    for (auto& [letter, make] : Kinds()) {
        SCOPED_TRACE(letter);
        std::unique_ptr<CVornConfigObject> object(make());
        for (auto& [name, value] : kHostile)
            ASSERT_TRUE(object->SetBaseAttribute(name.c_str(), Bytes(value)));
        CVornStringMap event;
        MakeDefaultEvent(event);
        event.Set("Signature", Bytes("-- \r\nline, with \\ and =\r\n"));
        event.Set("Odd=Name\n", Bytes("x"));
        ASSERT_EQ(object->AddEventMap(event), 0);

        std::string text = AsReadFromFile(Written(*object));
        std::unique_ptr<CVornConfigObject> copy(make());
        ASSERT_EQ(copy->Parse(text.c_str()), 0) << text;
        EXPECT_EQ(copy->m_Attributes.Count(), static_cast<int>(kHostile.size()));
        for (auto& [name, value] : kHostile)
            EXPECT_EQ(Attribute(*copy, name.c_str()), value) << name;

        CVornMemoryFile file;
        file.Open();
        ASSERT_EQ(object->WriteEvents(file, "Xkey"), 0);
        std::string line = AsReadFromFile(Contents(file));
        ASSERT_EQ(line.rfind("SXkey,", 0), 0u) << line;
        ASSERT_EQ(copy->AddEvent(line.c_str() + 6), 0) << line;
        CVornStringMap read;
        ASSERT_EQ(copy->GetEventAttributes("D0000000000000", read), 0);
        CVornString value;
        ASSERT_TRUE(read.Get("Signature", value));
        EXPECT_EQ(Str(value), "-- \r\nline, with \\ and =\r\n");
        ASSERT_TRUE(read.Get("Odd=Name\n", value));
        EXPECT_EQ(Str(value), "x");
    }
}

TEST(ConfigObjectText, WritesTheFileFormByteForByte) {
    struct Case {
        std::string name, value, written;
    } cases[] = {
        {"A", "plain", "A=plain\r\n"},         {"A", "a,b\\c", "A=a\\,b\\\\c\r\n"},
        {"A", "x\r\ny", "A=x\\x0D\\x0Ay\r\n"}, {"A", std::string("\0", 1), "A=\\x00\r\n"},
        {"A=B", "v", "A\\=B=v\r\n"},           {"A,B", "v", "A,B=v\r\n"},
    };
    for (const Case& c : cases) {
        CVornGroup group;
        ASSERT_TRUE(group.SetBaseAttribute(c.name.c_str(), Bytes(c.value)));
        EXPECT_EQ(Written(group), c.written) << c.value;
    }
    CVornGroup empty;
    EXPECT_EQ(Written(empty), "\r\n");
}

TEST(ConfigObjectText, ReadsFilesOfTheOldFormUnchanged) {
    struct Case {
        const char* text;
        const char* name;
        std::string value;
    } cases[] = {
        {"A=C:\\Temp\\new", "A", "C:\\Temp\\new"},  // a backslash before another byte stays
        {"A=x\\", "A", "x\\"},
        {"A=\\x41\\x0d\\x7F", "A", "\\x41\\x0d\\x7F"},  // only the writer's own \x forms count
        {"A=a\\,b\\\\c,B=2", "A", "a,b\\c"},
        {"A=1,A=2", "A", "2"},  // the later value wins
        {"A=1,a=2", "a", "2"},  // names differ by case
        {"A=1,", "", ""},       // a final comma stores the empty name
        {"x,y=1", "x,y", "1"},  // a name runs to the '='
        {"A=b=c", "A", "b=c"},
    };
    for (const Case& c : cases) {
        CVornGroup group;
        ASSERT_EQ(group.Parse(c.text), 0) << c.text;
        EXPECT_EQ(Attribute(group, c.name), c.value) << c.text;
    }
}

TEST(ConfigObjectText, RefusesMalformedAndOversizedLists) {
    std::string longName(kMaxAttributeNameLength + 1, 'n');
    std::string longValue(kMaxAttributeValueLength + 1, 'v');
    std::string longText(kMaxObjectTextLength + 1, 'x');
    longText.replace(0, 4, "A=1,");
    struct Case {
        std::string text;
        const char* kept;  // the attribute "A" stored before the fault, or null
    } cases[] = {
        {"novalue", nullptr},        {"A=1,B", "1"},      {"A=1," + longName + "=v", "1"},
        {"A=1,B=" + longValue, "1"}, {longText, nullptr},  // refused before anything is read
    };
    for (const Case& c : cases) {
        CVornGroup group;
        EXPECT_EQ(group.Parse(c.text.c_str()), 1) << c.text.substr(0, 20);
        EXPECT_EQ(Attribute(group, "A"), c.kept ? c.kept : "<absent>") << c.text.substr(0, 20);
    }

    CVornGroup group;
    EXPECT_EQ(group.Parse(""), 0);
    EXPECT_EQ(group.Parse(nullptr), 0);
    EXPECT_EQ(group.m_Attributes.Count(), 0);
    std::string justFits(kMaxAttributeNameLength, 'n');
    EXPECT_EQ(group.Parse((justFits + "=" + std::string(kMaxAttributeValueLength, 'v')).c_str()),
              0);
}

TEST(ConfigObjectText, SetterRefusesWhatCouldNotBeReadBack) {
    CVornGroup group;
    ASSERT_TRUE(group.SetBaseAttribute("A", Bytes("kept")));
    EXPECT_FALSE(
        group.SetBaseAttribute(std::string(kMaxAttributeNameLength + 1, 'n').c_str(), Bytes("v")));
    EXPECT_FALSE(
        group.SetBaseAttribute("A", Bytes(std::string(kMaxAttributeValueLength + 1, 'v'))));
    EXPECT_EQ(Attribute(group, "A"), "kept");
    EXPECT_EQ(group.m_Attributes.Count(), 1);

    // Values that each fit, but whose escaped line would pass the bound.
    std::string lines(kMaxAttributeValueLength, '\n');  // written four times as long
    int stored = 0;
    for (int i = 0; i < 10; ++i)
        stored += group.SetBaseAttribute(std::to_string(i).c_str(), Bytes(lines)) ? 1 : 0;
    EXPECT_LT(stored, 10);
    EXPECT_GT(stored, 0);
    std::string text = AsReadFromFile(Written(group));
    EXPECT_LE(text.size(), static_cast<size_t>(kMaxObjectTextLength));
    CVornGroup copy;
    EXPECT_EQ(copy.Parse(text.c_str()), 0);
    EXPECT_EQ(copy.m_Attributes.Count(), group.m_Attributes.Count());
}

TEST(ConfigObjectText, DoubleByteCharactersAreNeverSplitOrEscapedInside) {
    CodePageScope sjis(2);
    // 0x95 0x5C is one Shift-JIS character whose second byte is the
    // backslash; 0x82 alone is a lead byte without its second byte.
    const std::string table = "\x95\x5C";
    struct Case {
        std::string value;
        std::string written;  // null-free expectation of the value's part
    } cases[] = {
        {table, table},           {table + ",", table + "\\,"},
        {"\x82", "\\x82"},         // a lead byte at the end would swallow the ','
        {"\x82\n", "\\x82\\x0A"},  // or pair with a line end
        {"\x82,", "\x82,"},        // a whole (if odd) character is copied
    };
    for (const Case& c : cases) {
        CVornGroup group;
        ASSERT_TRUE(group.SetBaseAttribute("A", Bytes(c.value)));
        ASSERT_TRUE(group.SetBaseAttribute("B", Bytes("after")));
        std::string text = AsReadFromFile(Written(group));
        EXPECT_NE(text.find("A=" + c.written), std::string::npos) << text;
        CVornGroup copy;
        ASSERT_EQ(copy.Parse(text.c_str()), 0);
        EXPECT_EQ(Attribute(copy, "A"), c.value);
        EXPECT_EQ(Attribute(copy, "B"), "after");
    }
    CVornGroup old;
    ASSERT_EQ(old.Parse(("A=" + table + ",B=\x95\\,C=2").c_str()), 0);
    EXPECT_EQ(Attribute(old, "A"), table);
    EXPECT_EQ(Attribute(old, "B"), "\x95\\");  // the pair takes the backslash: ',' ends B
    EXPECT_EQ(Attribute(old, "C"), "2");
}

TEST(ConfigObjectText, ShortWriteFails) {
    CVornGroup group;
    group.SetBaseAttribute("A", Bytes("1"));
    CVornMemoryFile readOnly(kFileReadOnly);
    readOnly.Open();
    EXPECT_EQ(group.Write(readOnly), 1);
    CVornMailingList list;
    EXPECT_EQ(list.Write(readOnly), 1);
}

TEST(StateObjects, ParseTheirLettersAndAnswerPendingByState) {
    struct Case {
        const char* text;
        int result;
        char state, code;
        const char* attribute;  // "A", or null when absent
        bool listPending, dictionaryPending;
    } cases[] = {
        {"A,N,A=1", 0, 'A', 'N', "1", true, false},
        {"D,X,", 0, 'D', 'X', nullptr, true, false},
        {"U,N", 0, 'U', 'N', nullptr, true, true},
        {"L,NA=1", 0, 'L', 'N', nullptr, false, false},  // no ',' after the code: rest ignored
        {"L,N,A=1,B", 1, 'L', 'N', "1", false, false},
        {"AX,N", 1, 'A', 'N', nullptr, true, false},
        {"A,", 1, 'L', 'N', nullptr, false, false},  // shorter than three bytes
    };
    for (const Case& c : cases) {
        CVornMailingList list;
        CVornDictionary dictionary;
        EXPECT_EQ(list.Parse(c.text), c.result) << c.text;
        EXPECT_EQ(dictionary.Parse(c.text), c.result) << c.text;
        EXPECT_EQ(list.m_State, c.state) << c.text;
        EXPECT_EQ(list.m_Code, c.code) << c.text;
        EXPECT_EQ(Attribute(list, "A"), c.attribute ? c.attribute : "<absent>") << c.text;
        EXPECT_EQ(list.IsPending(), c.listPending) << c.text;
        EXPECT_EQ(dictionary.IsPending(), c.dictionaryPending) << c.text;
    }

    CVornDictionary dictionary;
    ASSERT_EQ(dictionary.Parse("U,Q,A=x\\,y"), 0);
    EXPECT_EQ(Written(dictionary), "U,Q,A=x\\,y\r\n");
    CVornDictionary fresh;
    EXPECT_EQ(Written(fresh), "L,N,\r\n");
    CVornGroup group;
    EXPECT_FALSE(group.IsPending());
}

TEST(ConfigObjectAttributes, BaseAttributesAndCopies) {
    CVornUser user;
    CVornString out("untouched");
    EXPECT_FALSE(user.GetBaseAttribute("Cast", out));
    EXPECT_EQ(Str(out), "untouched");
    ASSERT_TRUE(user.SetBaseAttribute("Cast", Bytes("staff")));
    ASSERT_TRUE(user.SetBaseAttribute("Cast", Bytes("admins")));
    EXPECT_EQ(Attribute(user, "Cast"), "admins");
    user.DeleteBaseAttribute("Cast");
    user.DeleteBaseAttribute("Cast");
    EXPECT_EQ(Attribute(user, "Cast"), "<absent>");

    CVornStringMap target;
    target.Set("Keep", Bytes("k"));
    target.Set("Cast", Bytes("old"));
    user.SetBaseAttribute("Cast", Bytes("new"));
    EXPECT_EQ(CVornConfigObject::copyAttributes(target, user.m_Attributes), 0);
    user.SetBaseAttribute("Cast", Bytes("changed later"));
    ASSERT_TRUE(target.Get("Cast", out));
    EXPECT_EQ(Str(out), "new");  // a copy, not the object's own value
    EXPECT_EQ(target.Count(), 2);
}

TEST(ConfigObjectAttributes, GetCastCopiesOnlyWhatFits) {
    struct Case {
        const char* cast;  // null: absent
        int size;
        const char* expected;
    } cases[] = {
        {nullptr, 8, ""},
        {"staff", 7, "staff"},
        {"staff", 6, "#####"},  // length must be below size - 1
        {"", 2, ""},
    };
    for (const Case& c : cases) {
        CVornClient client;
        CVornUser user;
        if (c.cast) {
            client.SetBaseAttribute("Cast", Bytes(c.cast));
            user.SetBaseAttribute("Cast", Bytes(c.cast));
        }
        char a[16] = "#####";
        char b[16] = "#####";
        client.GetCast(a, c.size);
        user.GetCast(b, c.size);
        EXPECT_STREQ(a, c.expected);
        EXPECT_STREQ(b, c.expected);
    }
}

TEST(ListOwner, PrefixesOwnerUnlessPresentInAnyCase) {
    struct Case {
        const char* name;
        const char* owner;
        bool isOwner;
    } cases[] = {
        {"sales", "owner-sales", false},      {"owner-sales", "owner-sales", true},
        {"OWNER-Sales", "OWNER-Sales", true}, {"owner", "owner-owner", false},
        {nullptr, "owner-", false},
    };
    for (const Case& c : cases) {
        CVornString out;
        ListOwnerAddress(c.name, out);
        EXPECT_EQ(Str(out), c.owner);
        EXPECT_EQ(IsListOwnerAddress(c.name), c.isOwner);
    }
}

}  // namespace
