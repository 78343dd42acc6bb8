// The listeners' shared settings: the port a start takes and the checked
// move of a change, with a listen step that records what it was asked.
#include "gateway/server_settings.h"

#include <string>
#include <vector>

#include "gateway/tests/support/spool_fixture.h"

namespace {

class ServerSettingsTest : public spooltest::SpoolTest {
protected:
    static std::string Port() {
        CVornString value;
        if (CVornConfigStore::GetObjectSetting('S', nullptr, "XPort", value) != 0)
            return "<none>";
        return value.CStr();
    }
};

TEST_F(ServerSettingsTest, StartPortAndPortChangeFollowTheSetting) {
    struct Case {
        std::vector<std::string> system;  // the system object's attributes
        int startPort;                    // ReadServerPort(current 4000, default 110)
        bool listens;                     // what the listen step answers
        ServerPortChange change;          // ChangeServerPort from current 4000
        int asked;                        // the port listen was asked for (0: not asked)
        int current;                      // the current port afterwards
        std::string setting;              // "XPort" afterwards
    } cases[] = {
        {{"XPort=5000"}, 5000, true, ServerPortChange::kDone, 5000, 5000, "5000"},
        {{"XPort=5000"}, 5000, false, ServerPortChange::kNotBound, 5000, 4000, "4000"},
        {{"XPort=4000"}, 4000, true, ServerPortChange::kDone, 0, 4000, "4000"},
        // Missing: a start keeps its port, a change goes to the default.
        {{}, 4000, true, ServerPortChange::kDone, 110, 110, "<none>"},
        {{"XPort=0"}, 110, true, ServerPortChange::kRefused, 0, 4000, "4000"},
        {{"XPort=65536"}, 110, true, ServerPortChange::kRefused, 0, 4000, "4000"},
        {{"XPort=65535"}, 65535, true, ServerPortChange::kDone, 65535, 65535, "65535"},
        {{"XPort=4294967406"}, 110, true, ServerPortChange::kRefused, 0, 4000, "4000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.system.empty() ? "missing" : c.system[0]);
        WriteConfig(c.system);
        EXPECT_EQ(c.startPort, ReadServerPort("XPort", 4000, 110));
        int current = 4000;
        int asked = 0;
        EXPECT_EQ(c.change,
                  ChangeServerPort("XPort", 110, current, [&](const CVornHostAddress& address) {
                      CVornHostAddress copy(address);
                      asked = copy.GetPort();
                      return c.listens;
                  }));
        EXPECT_EQ(c.asked, asked);
        EXPECT_EQ(c.current, current);
        EXPECT_EQ(c.setting, Port());
    }
}

}  // namespace
