#include "gateway/relay_routes.h"

#include <gtest/gtest.h>

#include <string>

#include "config/config_store.h"
#include "core/compare_no_case.h"
#include "core/vorn_exception.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

const char kSep = '\x1C';

std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

std::string Parts(const CRelayRoute& route) {
    CVornString domain, host, port;
    route.GetDomain(domain);
    route.GetHost(host);
    route.GetPort(port);
    return "[" + Str(domain) + "|" + Str(host) + "|" + Str(port) + "]";
}

std::string Formatted(const CRelayRoute& route) {
    CVornString text;
    route.Format(text);
    return Str(text);
}

int CompareRoutes(const CRelayRoute* a, const CRelayRoute* b) {
    CVornString x, y;
    a->GetDomain(x);
    b->GetDomain(y);
    return CompareNoCase(x, y);
}

TEST(RelayRouteTest, ItemsParseIntoTheirPartsAndFormatBack) {
    struct Case {
        const char* item;
        const char* parts;
        const char* formatted;
    } cases[] = {
        {"example.com -> mx.example.net:2525", "[example.com|mx.example.net|2525]",
         "example.com -> mx.example.net:2525"},
        {"example.com -> mx.example.net", "[example.com|mx.example.net|]",
         "example.com -> mx.example.net"},
        {"example.com", "[example.com||]", "example.com"},
        // A colon with nothing after it: empty port, written without the colon.
        {"example.com -> mx.example.net:", "[example.com|mx.example.net|]",
         "example.com -> mx.example.net"},
        // Nothing is trimmed; an empty domain is a key like any other.
        {" a.org  ->  b.org ", "[ a.org | b.org |]", " a.org  ->  b.org "},
        {" -> relay", "[|relay|]", " -> relay"},
        // Only the first separator splits; only the first colon of the rest.
        {"a -> b -> c:1:2", "[a|b -> c|1:2]", "a -> b -> c:1:2"},
        // Separator-like text without both blanks is part of the domain.
        {"a->b", "[a->b||]", "a->b"},
        {"", "[||]", ""},
    };
    for (const Case& c : cases) {
        CRelayRoute route;
        EXPECT_TRUE(route.Parse(c.item));
        EXPECT_EQ(c.parts, Parts(route)) << c.item;
        EXPECT_EQ(c.formatted, Formatted(route)) << c.item;
    }
}

TEST(RelayRouteTest, PortWithoutHostIsNotWritten) {
    EXPECT_EQ("example.com", Formatted(CRelayRoute("example.com", "", "2525")));
    EXPECT_EQ("[example.com||2525]", Parts(CRelayRoute("example.com", nullptr, "2525")));
}

TEST(RelayRouteTest, CopiesAreIndependent) {
    CRelayRoute a("a.org", "relay.a.org", "25");
    CRelayRoute b(a);
    CRelayRoute c;
    c.Assign(a);
    a.Parse("z.org");
    c.Assign(c);
    EXPECT_EQ("[a.org|relay.a.org|25]", Parts(b));
    EXPECT_EQ("[a.org|relay.a.org|25]", Parts(c));
    EXPECT_EQ("[z.org||]", Parts(a));
}

class RelayRoutingTableTest : public spooltest::SpoolTest {
protected:
    static std::string Setting() {
        CVornString out;
        if (CVornConfigStore::GetSetting(nullptr, nullptr, "RelayRouting", out) != 0)
            return "<none>";
        return Str(out);
    }

    static std::string Route(CRelayRoutingTable& table, const char* domain) {
        CRelayRoute route;
        if (!table.Lookup(domain, route))
            return "<none>";
        return Parts(route);
    }
};

TEST_F(RelayRoutingTableTest, ReadsTheSettingLaterItemsWinInAnyCase) {
    WriteConfig({std::string("RelayRouting=a.org -> relay.a.org:26") + kSep + kSep +
                 "B.org -> relay.b.org" + kSep + "c.org" + kSep + "b.ORG -> other.b.org" + kSep});
    CRelayRoutingTable table;
    EXPECT_EQ("[a.org|relay.a.org|26]", Route(table, "A.ORG"));
    EXPECT_EQ("[b.ORG|other.b.org|]", Route(table, "b.org"));
    EXPECT_EQ("[c.org||]", Route(table, "c.org"));
    EXPECT_EQ("<none>", Route(table, "d.org"));
    EXPECT_EQ("<none>", Route(table, nullptr));

    CVornSortedList<CRelayRoute> sorted(&CompareRoutes);
    table.GetSorted(sorted);
    ASSERT_EQ(3, sorted.m_List.m_Count);
    EXPECT_EQ("[a.org|relay.a.org|26]", Parts(*sorted.m_List.GetAt(0)));
    EXPECT_EQ("[b.ORG|other.b.org|]", Parts(*sorted.m_List.GetAt(1)));
    EXPECT_EQ("[c.org||]", Parts(*sorted.m_List.GetAt(2)));
}

TEST_F(RelayRoutingTableTest, MissingSettingGivesAnEmptyTable) {
    CRelayRoutingTable table;
    EXPECT_EQ("<none>", Route(table, "a.org"));
    CVornSortedList<CRelayRoute> sorted(&CompareRoutes);
    table.GetSorted(sorted);
    EXPECT_EQ(0, sorted.m_List.m_Count);
}

TEST_F(RelayRoutingTableTest, SortedListWithoutCallbackThrows62) {
    WriteConfig({"RelayRouting=a.org"});
    CRelayRoutingTable table;
    CVornSortedList<CRelayRoute> sorted(nullptr);
    try {
        table.GetSorted(sorted);
        FAIL() << "no exception";
    } catch (const CVornException& e) {
        EXPECT_EQ(62, e.m_Code);
    }
    EXPECT_EQ(0, sorted.m_List.m_Count);
}

TEST_F(RelayRoutingTableTest, ChangesAreSavedAndSeenByLaterTables) {
    WriteConfig({"RelayRouting=b.org -> old.b.org"});
    {
        CRelayRoutingTable table;
        EXPECT_TRUE(table.Add(CRelayRoute("a.org", "relay.a.org", "2525")));
        EXPECT_EQ(std::string("a.org -> relay.a.org:2525") + kSep + "b.org -> old.b.org",
                  Setting());
        // Add of an existing domain (any case) replaces its route.
        EXPECT_TRUE(table.Add(CRelayRoute("B.org", "new.b.org", "")));
        EXPECT_EQ(std::string("a.org -> relay.a.org:2525") + kSep + "B.org -> new.b.org",
                  Setting());
        // Replace renames a route; a missing old domain only adds.
        EXPECT_TRUE(table.Replace("A.ORG", CRelayRoute("c.org", "relay.c.org", "")));
        EXPECT_TRUE(table.Replace("nowhere.org", CRelayRoute("d.org", "", "")));
        EXPECT_EQ(std::string("B.org -> new.b.org") + kSep + "c.org -> relay.c.org" + kSep +
                      "d.org",
                  Setting());
    }
    {
        CRelayRoutingTable later;
        EXPECT_EQ("<none>", Route(later, "a.org"));
        EXPECT_EQ("[c.org|relay.c.org|]", Route(later, "C.org"));
        EXPECT_TRUE(later.Remove("b.ORG"));
        EXPECT_TRUE(later.Remove("c.org"));
        EXPECT_TRUE(later.Remove("not-there.org"));
        EXPECT_EQ("d.org", Setting());
        EXPECT_TRUE(later.Remove("d.org"));
        // After the last route the setting is the empty text.
        EXPECT_EQ("", Setting());
    }

    // The change is in the store, not yet in the files, until the caller saves.
    EXPECT_NE(std::string::npos, spooltest::ReadWhole(Path("shared-config")).find("old.b.org"));
    ASSERT_EQ(0, CVornConfigStore::Save());
    ASSERT_EQ(0, CVornConfigStore::Load(1));
    EXPECT_EQ("", Setting());
}

TEST_F(RelayRoutingTableTest, SavedRoutesSurviveTheConfigurationFiles) {
    {
        CRelayRoutingTable table;
        EXPECT_TRUE(table.Add(CRelayRoute("a.org", "relay.a.org", "2525")));
        EXPECT_TRUE(table.Add(CRelayRoute("b.org", "relay.b.org", "")));
    }
    ASSERT_EQ(0, CVornConfigStore::Save());
    m_Store.reset();
    m_Store = std::make_unique<CVornConfigStore>(Path("shared-config").c_str(),
                                                 Path("local-config").c_str(),
                                                 Path("vendor-config").c_str());
    ASSERT_EQ(0, CVornConfigStore::Load(1));
    CRelayRoutingTable table;
    EXPECT_EQ("[a.org|relay.a.org|2525]", Route(table, "a.org"));
    EXPECT_EQ("[b.org|relay.b.org|]", Route(table, "b.org"));
}

TEST_F(RelayRoutingTableTest, RoutesThatWouldSplitTheSettingAreRefused) {
    WriteConfig({"RelayRouting=a.org -> relay.a.org"});
    CRelayRoutingTable table;
    const CRelayRoute bad[] = {
        CRelayRoute("x.org\x1C" "evil.org", "relay", ""),
        CRelayRoute("x.org", "relay\r\nDS,RelayMode=Y", ""),
        CRelayRoute("x.org", "relay", "25\n"),
    };
    for (const CRelayRoute& route : bad) {
        EXPECT_FALSE(table.Add(route));
        EXPECT_FALSE(table.Replace("a.org", route));
    }
    EXPECT_EQ("a.org -> relay.a.org", Setting());
    EXPECT_EQ("<none>", Route(table, "x.org"));
    EXPECT_EQ("[a.org|relay.a.org|]", Route(table, "a.org"));
}

}  // namespace
