// Permissions, operators, statements and If conditions, and the hidden form
// variables, against a real configuration store and request.
#include "templates/conditions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "templates/hidden_vars.h"
#include "templates/tests/page_fixture.h"

using pagetest::PageTest;
using pagetest::Str;

namespace {

CVornString S(const std::string& text) {
    return CVornString(text.data(), static_cast<int>(text.size()));
}

TEST(MatchPerms, PairsAreMatchedWholeWithWildcards) {
    const std::string longItem = "M:" + std::string(1021, 'X') + "U";  // 1024 characters
    const std::string fittingItem = "M:" + std::string(1020, 'X') + "U";
    const struct {
        const char* required;
        std::string list;
        bool granted;
    } cases[] = {
        {"mu", "AM:SU", true},        // AS, MS, AU, MU
        {"SU", "AM:SU", false},       // no pair SU, though the letters follow each other
        {"MS", "AM:SU", true},
        {"*U", "M:U", true},
        {"A*", "M:U", false},
        {"M*", "am:su", true},
        {"*S", "R:U", false},
        {"**", "M:U", true},
        {"**", "", false},
        {"**", "AM:", false},         // nothing after the colon grants nothing
        {"**", "RS,", true},
        {"*", "AM:SU", false},        // a lone star names no pair
        {"RS", "RS", true},           // an item without a colon grants itself
        {"RS", "rs,AM:SU", true},
        {"MU", "AM:", false},
        {"", "", true},
        {"", "AM:SU", true},
        {"MU", longItem, false},      // too long to be read
        {"MU", fittingItem, true},
        {"MU", longItem + ",MU", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.required) + " against " + c.list.substr(0, 20));
        CVornString required(c.required);
        EXPECT_EQ(MatchPerms(required, S(c.list)), c.granted);
    }
    CVornString required("rs");
    MatchPerms(required, CVornString("RS"));
    EXPECT_EQ(Str(required), "RS");  // the caller's text is upper-cased
}

class ConditionsTest : public PageTest {};

TEST_F(ConditionsTest, OperatorsOnValuesAndOperands) {
    const struct {
        const char* op;
        const char* value;
        bool defined;
        const char* operand;
        bool holds;
    } cases[] = {
        {"DEF", "", true, "", true},           {"DEF", "x", false, "", false},
        {"DEFWV", "", true, "", false},        {"DEFWV", "x", true, "", true},
        {"UNDEF", "", false, "", true},        {"UNDEF", "", true, "", false},
        {"UNDEFNV", "", true, "", true},       {"UNDEFNV", "x", true, "", false},
        {"EQ", "Abc", true, "Abc", true},      {"EQ", "Abc", true, "abc", false},
        {"EQ", "", false, "", true},           {"NE", "Abc", true, "abc", true},
        {"~EQ", "Abc", true, "aBC", true},     {"~NE", "Abc", true, "aBC", false},
        {"SW", "Abcd", true, "Ab", true},      {"SW", "Abcd", true, "ab", false},
        {"~SW", "Abcd", true, "ab", true},     {"SW", "Ab", true, "", true},
        {"CONTAIN", "a,b", true, ",x", true},  {"CONTAIN", "ab", true, "xa", false},
        {"CONTAIN", "ab", true, "", false},    {"CONTAINS", "abcd", true, "bc", true},
        {"CONTAINS", "abcd", true, "BC", false}, {"NOTCONTAINS", "abcd", true, "bc", false},
        {"==", "12abc", true, "12", true},     {"==", "", false, "0", true},
        {"!=", "-3", true, "3", true},         {"==", "x", true, "y", true},
        {"LT", "-3", true, "2", true},         {"LT", "", false, "5", false},
        {"LT", "3", true, "", false},          {"GT", "99999999999", true, "1", true},
        {"LE", "4", true, "4", true},          {"GE", "3", true, "4", false},
        {"GE", "+4", true, "4", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " " + c.op + " " + c.operand);
        EXPECT_EQ(EvalDefOp(CVornString(c.operand), CVornString(c.value), CVornString(c.op),
                            c.defined),
                  c.holds);
    }
    EXPECT_TRUE(Events().empty());
}

TEST_F(ConditionsTest, UnknownOperatorIsFalseAndReported) {
    for (const char* op : {"eq", "=", "CONTAINSX"}) {
        SCOPED_TRACE(op);
        EXPECT_FALSE(EvalDefOp(CVornString("a"), CVornString("a"), CVornString(op), true));
        std::vector<std::string> events = Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_NE(events[0].find(std::string("M152 ") + op), std::string::npos) << events[0];
    }
}

TEST_F(ConditionsTest, StatementsOnFormVariables) {
    SetVar("empty", "");
    SetVar("x", "x");
    SetVar("spaced", "x y");
    SetVar("page", "main.mhtml");
    SetVar("dollar", "$what");
    SetVar("what", "main.mhtml");
    const struct {
        const char* statement;
        bool holds;
    } cases[] = {
        {"empty EQ", true},            // no operand: the empty text
        {"x EQ", false},
        {"x", false},                  // one word: false
        {"", false},
        {"   ", false},
        {"x   EQ   x", true},          // runs of blanks separate once
        {"spaced EQ x y", true},       // the operand keeps its blanks
        {"page EQ $what", true},       // a $ operand names a form variable
        {"page EQ $nothing", false},
        {"missing UNDEF", true},
        {"missing LT 5", false},
        {"missing == 0", true},
        {"x DEF", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.statement);
        EXPECT_EQ(EvalVarStmt(m_Request.get(), CVornString(c.statement)), c.holds);
    }
    // A $ operand whose variable is absent stays as written.
    m_Request->m_FormVariables.Remove("what");
    EXPECT_TRUE(EvalVarStmt(m_Request.get(), CVornString("dollar EQ $what")));
}

TEST_F(ConditionsTest, IfKeywordsReadTheStoreTheFormAndThePage) {
    testsupport::ScopedEnv registry("ZELORM_REGISTRY", Path("registry.reg"));
    WriteConfig({"DS,Mode=fast", "DUalice,VirtualAcct=1,Color=red", "DUbob,Color=blue"},
                {"SUalice,When=3,Date=0,Start=90000,End=110000,Repeat=1,Slot=morning",
                 "SS,When=D,Date=0,Start=0,End=0,Repeat=1,Slot=default"});
    const CVornString user("alice"), client("10.0.0.1"), userPerms("AM:SU"), objectPerms("RS");
    const CPageConditions page{user, client, userPerms, objectPerms};
    const struct {
        const char* keyword;
        const char* value;
        const char* objtype;  // null: absent
        const char* objname;
        const char* event;
        const char* slot;     // the form variable Slot, null: absent
        int result;
    } cases[] = {
        {"perms", "mu", nullptr, nullptr, nullptr, nullptr, 1},
        {"PERMS", "RS", nullptr, nullptr, nullptr, nullptr, 0},
        {"objperms", "RS", nullptr, nullptr, nullptr, nullptr, 1},
        {"platform", "nt", nullptr, nullptr, nullptr, nullptr, 1},
        {"platform", "Linux", nullptr, nullptr, nullptr, nullptr, 0},
        {"installed", "Anything", nullptr, nullptr, nullptr, nullptr, 0},
        {"FW1", "", nullptr, nullptr, nullptr, nullptr, 0},
        {"msp", "1", nullptr, nullptr, nullptr, nullptr, 0},
        {"attrstmt", "Color EQ red", "User", "alice", nullptr, nullptr, 1},
        {"attrstmt", "Color EQ red", "U", "bob", nullptr, nullptr, 0},
        {"attrstmt", "Mode EQ fast", "S", nullptr, nullptr, nullptr, 1},
        {"attrstmt", "Color DEF", "U", "nobody", nullptr, nullptr, 0},
        {"settingstmt", "Color EQ red", nullptr, nullptr, nullptr, nullptr, 1},
        {"settingstmt", "Mode EQ fast", nullptr, nullptr, nullptr, nullptr, 1},
        {"eventstmt", "Slot EQ morning", "U", "alice", "30090000110000", nullptr, 1},
        {"eventstmt", "Slot DEF", "U", "alice", nullptr, nullptr, 0},
        {"varEventChain", "Slot EQ form", "U", "alice", "30090000110000", "form", 1},
        {"varEventChain", "Slot EQ morning", "U", "alice", "30090000110000", nullptr, 1},
        {"varEventChain", "Slot EQ default", "U", "alice", "nothing", nullptr, 1},
        {"varEventChain", "Other DEF", "U", "alice", "nothing", nullptr, 0},
        {"varstmt", "objname EQ bob", "U", "bob", nullptr, nullptr, 1},
        {"CanEditPerms", "", "U", "ALICE", nullptr, nullptr, 0},
        {"CanEditPerms", "", "U", "bob", nullptr, nullptr, 1},
        {"virtualuser", "", "U", "alice", nullptr, nullptr, 1},
        {"virtualuser", "", "U", "bob", nullptr, nullptr, 0},
        {"virtualuser", "", "G", "alice", nullptr, nullptr, 0},
        {"note", "anything", nullptr, nullptr, nullptr, nullptr, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + "=" + c.value);
        m_Request->m_FormVariables.Clear();
        if (c.objtype)
            SetVar("objtype", c.objtype);
        if (c.objname)
            SetVar("objname", c.objname);
        if (c.event)
            SetVar("Event", c.event);
        if (c.slot)
            SetVar("Slot", c.slot);
        EXPECT_EQ(EvalIfKeyword(m_Request.get(), CVornString(c.keyword), CVornString(c.value),
                                page),
                  c.result);
    }

    // The user's setting follows the user given to the page.
    const CVornString other("bob");
    EXPECT_FALSE(EvalSettingStmt(m_Request.get(), CVornString("Color EQ red"), other, client));
    // Without an objname, CanEditPerms compares the empty text with the user.
    m_Request->m_FormVariables.Clear();
    const CVornString nobody("");
    EXPECT_EQ(EvalIfKeyword(m_Request.get(), CVornString("CanEditPerms"), CVornString(""),
                            CPageConditions{nobody, client, userPerms, objectPerms}),
              0);
}

TEST_F(ConditionsTest, IfHoldsWhenNoKeywordFails) {
    const CVornString user("alice"), client(""), userPerms("AM:SU"), objectPerms("");
    const CPageConditions page{user, client, userPerms, objectPerms};
    const struct {
        std::vector<std::pair<const char*, const char*>> attributes;
        bool holds;
    } cases[] = {
        {{}, true},
        {{{"note", "x"}, {"other", ""}}, true},
        {{{"perms", "MU"}, {"platform", "NT"}}, true},
        {{{"perms", "MU"}, {"objperms", "RS"}}, false},
        {{{"note", "x"}, {"FW1", ""}}, false},
    };
    for (const auto& c : cases) {
        CVornStringMap attributes(0, 0);
        for (const auto& [name, value] : c.attributes) attributes.Set(name, CVornString(value));
        EXPECT_EQ(EvalIfConditions(m_Request.get(), attributes, page), c.holds);
    }
}

TEST_F(ConditionsTest, HiddenVariablesCarryTheForm) {
    SetVar("a", "1");
    SetVar("PassWord", "secret");
    SetVar("HV-x", "old");
    SetVar("hv-y", "2");
    SetVar("referer", "/cgi/page");
    KeepAllHiddenVars(m_Request.get());
    EXPECT_EQ(Var("HV-a"), "1");
    EXPECT_EQ(Var("HV-PassWord"), "<none>");
    EXPECT_EQ(Var("HV-HV-x"), "<none>");
    EXPECT_EQ(Var("HV-x"), "old");
    EXPECT_EQ(Var("HV-hv-y"), "2");  // only the exact prefix counts
    EXPECT_EQ(Var("HV-referer"), "/cgi/page");

    KeepHiddenVarAs(m_Request.get(), "referer", "back");
    EXPECT_EQ(Var("HV-back"), "/cgi/page");
    SetVar("a", "3");
    KeepHiddenVar(m_Request.get(), "a");
    EXPECT_EQ(Var("HV-a"), "3");  // replaced
    CopyFormVar(m_Request.get(), "a", "b");
    EXPECT_EQ(Var("b"), "3");
    KeepHiddenVar(m_Request.get(), "missing");
    CopyFormVar(m_Request.get(), "missing", "c");
    EXPECT_EQ(Var("HV-missing"), "<none>");
    EXPECT_EQ(Var("c"), "<none>");
}

}  // namespace
