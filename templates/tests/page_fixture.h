// Fixture of the template engine tests: a private directory (templates,
// configuration files, path locks, the event-log file), a base catalogue
// whose text of number n is "M<n>" (91 and 152 followed by " %s"), an empty
// configuration store, and a CVornHTTPRequest on a real loopback connection
// whose response the test reads back as a client would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/test_catalog.h"
#include "net/http_request.h"
#include "net/tcp_socket.h"
#include "net/tests/http_fixture.h"

namespace pagetest {

using httptest::Str;

class PageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(Path("messages"),
                                                  testsupport::NumberedCatalog(
                                                      883, {{91, " %s"}, {152, " %s"}}),
                                                  883));
        WriteConfig({"DS,"}, {});
        ASSERT_TRUE(m_Listener.Listen(CVornHostAddress(httptest::Loopback(), 0)));
        CVornHostAddress local;
        ASSERT_TRUE(m_Listener.GetLocalAddress(local));
        m_Port = local.GetPort();
        Connect();
    }

    void TearDown() override {
        m_Request.reset();
        testsupport::ClearBaseCatalog();
    }

    std::string Path(const std::string& name) const { return m_Dir.Path() + "/" + name; }

    // The three configuration files (shared and local lines; each gets the
    // header line and CR LF), then a load.
    void WriteConfig(const std::vector<std::string>& shared, const std::vector<std::string>& local) {
        auto write = [&](const char* name, const std::vector<std::string>& lines) {
            std::string text = "# 2 0\r\n";
            for (const std::string& line : lines) text += line + "\r\n";
            testsupport::WriteWhole(Path(name), text);
        };
        write("shared-config", shared);
        write("local-config", local);
        write("vendor-config", {});
        ASSERT_EQ(0, CVornConfigStore::Load(1));
    }

    // A fresh request on a new connection.
    void Connect() {
        m_Request.reset();
        m_Client = std::make_unique<httptest::RawClient>(m_Port);
        m_Server = std::make_unique<CVornTCPSocket>();
        ASSERT_TRUE(m_Listener.Accept(*m_Server, 5));
        m_Request = std::make_unique<CVornHTTPRequest>(nullptr, m_Server.get(), 1,
                                                       CVornString(m_Dir.Path().c_str()));
        m_Request->m_Method = kHttpMethodGet;
    }

    void SetVar(const char* name, const std::string& value) {
        m_Request->m_FormVariables.Set(name, CVornString(value.data(),
                                                         static_cast<int>(value.size())));
    }
    std::string Var(const char* name) {
        CVornString value;
        return m_Request->m_FormVariables.Get(name, value) ? Str(value) : "<none>";
    }

    // Finishes the response (deleting the request) and returns what the
    // client received.
    httptest::Response Received() {
        m_Request.reset();
        m_Server->Close();
        return httptest::Response(m_Client->ReadAll());
    }

    // The events reported since the last call, as "type:text".
    std::vector<std::string> Events() {
        std::vector<std::string> events = testsupport::ReadEvents(Path("events"));
        std::remove(Path("events").c_str());
        return events;
    }

    httptest::TempDir m_Dir;  // also points ZELORM_LOCK_DIR into itself
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir.Path() + "/events"};
    CVornConfigStore m_Store{Path("shared-config").c_str(), Path("local-config").c_str(),
                             Path("vendor-config").c_str()};
    CVornTCPSocket m_Listener;
    unsigned short m_Port = 0;
    std::unique_ptr<httptest::RawClient> m_Client;
    std::unique_ptr<CVornTCPSocket> m_Server;
    std::unique_ptr<CVornHTTPRequest> m_Request;
};

}  // namespace pagetest
