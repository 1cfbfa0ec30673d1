// The service control layer against Wine's service manager, with the MySQL stand-in registered
// as QUOR_MySQL from a root whose path holds a space and Chinese characters.
#include "modService.h"

#include "Files.h"
#include "StandInService.h"
#include "Text.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quorports {
namespace {

using namespace quor::test;

constexpr wchar_t kMySql[] = L"QUOR_MySQL";

// Each case starts without QUOR_MySQL (a crashed run may have left one) and removes it at the end.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(RemoveService(kMySql)); }
    void TearDown() override { EXPECT_TRUE(RemoveService(kMySql)); }

    // Puts the stand-in and its my.ini into the root and installs it the way the configuration
    // window does: the program path unquoted, then the service name.
    std::int32_t InstallMySql() {
        const std::wstring program = m_root / L"MySQL\\bin\\mysqld-nt.exe";
        EXPECT_NE(m_port, 0);
        EXPECT_TRUE(MakeDirs(quor::ParentPath(program)));
        EXPECT_TRUE(CopyInto(BinProgram(L"mysqld-nt.exe"), program));
        EXPECT_TRUE(WriteBytes(m_root / L"MySQL\\my.ini", "port=" + std::to_string(m_port)));
        m_commandLine = program + L" " + kMySql;
        return InstallSvc(kMySql, kMySql, m_commandLine, L"Quor MySQL", L"", L"");
    }
    static bool ReachesState(DWORD state) {
        return Eventually([=] { return GetSvcState(kMySql) == static_cast<std::int32_t>(state); });
    }
    static bool Removed() {
        return Eventually([] { return CheckSvcConfig(kMySql) == ERROR_SERVICE_DOES_NOT_EXIST; });
    }

    // The root outlives the service: members are destroyed after TearDown.
    TempDir m_root{L" 服务 root"};
    unsigned short m_port = FreePort();
    std::wstring m_commandLine;
};

TEST_F(ServiceTest, AServiceThatIsNotInstalledHasNoStateAndEveryOperationFailsWith1060) {
    EXPECT_EQ(GetSvcState(kMySql), 0);
    EXPECT_EQ(CheckSvcConfig(kMySql), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(StartSvc(kMySql), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(StopSvc(kMySql), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(RemoveSvc(kMySql), ERROR_SERVICE_DOES_NOT_EXIST);
}

// The configuration's strings never fit the first 36-byte query, so CheckSvcConfig succeeds
// only through the enlarged second one.
TEST_F(ServiceTest, InstallRegistersAnAutoStartServiceUnderLocalSystemWithItsDescription) {
    ASSERT_EQ(InstallMySql(), 0);
    const std::optional<Registration> installed = ReadRegistration(kMySql);
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(installed->start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(installed->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(installed->binary, m_commandLine);
    EXPECT_EQ(installed->group, L"");
    EXPECT_EQ(installed->dependencies, L"");
    EXPECT_EQ(installed->account, L"LocalSystem");
    EXPECT_EQ(installed->display, kMySql);
    EXPECT_EQ(installed->description, L"Quor MySQL");
    EXPECT_EQ(CheckSvcConfig(kMySql), 0);
    EXPECT_EQ(GetSvcState(kMySql), SERVICE_STOPPED);

    // A second installation under the same name fails and changes nothing.
    EXPECT_EQ(InstallSvc(kMySql, L"Other", L"C:\\other.exe", L"Other description", L"", L""),
              ERROR_SERVICE_EXISTS);
    EXPECT_TRUE(ReadRegistration(kMySql) == installed);
}

// Start and stop report as soon as the SCM accepts; a repeated request gets the SCM's refusal.
TEST_F(ServiceTest, StartAndStopAreRefusedWhenTheServiceIsAlreadyThere) {
    ASSERT_EQ(InstallMySql(), 0);
    ASSERT_EQ(StartSvc(kMySql), 0);
    ASSERT_TRUE(ReachesState(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(m_port)); // the unquoted path with spaces started the stand-in
    EXPECT_EQ(StartSvc(kMySql), ERROR_SERVICE_ALREADY_RUNNING);

    ASSERT_EQ(StopSvc(kMySql), 0);
    ASSERT_TRUE(ReachesState(SERVICE_STOPPED));
    EXPECT_EQ(StopSvc(kMySql), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ServiceTest, RemoveDeletesStoppedAndRunningServices) {
    ASSERT_EQ(InstallMySql(), 0);
    EXPECT_EQ(RemoveSvc(kMySql), 0);
    EXPECT_TRUE(Removed());

    // A running service gets the stop control and is dropped once it has stopped.
    ASSERT_EQ(InstallMySql(), 0);
    ASSERT_EQ(StartSvc(kMySql), 0);
    ASSERT_TRUE(ReachesState(SERVICE_RUNNING));
    EXPECT_EQ(RemoveSvc(kMySql), 0);
    EXPECT_TRUE(Removed());
    EXPECT_FALSE(Listening(m_port));
}

TEST(AccountServiceTest, OnlyBareNamesOtherThanLocalSystemAreQualified) {
    struct Case {
        const wchar_t* account;
        const wchar_t* domain;
        const wchar_t* expected;
        bool looksUpDomain;
    };
    const Case cases[] = {
        {L"", L"HOST", L"LocalSystem", false},
        {L"LocalSystem", L"HOST", L"LocalSystem", false},
        {L"localsystem", L"HOST", L"HOST\\localsystem", true}, // the comparison is case-sensitive
        {L"quor", L"工作组", L"工作组\\quor", true},
        {L"quor", L"", L".\\quor", true},
        {L"OTHER\\quor", L"HOST", L"OTHER\\quor", false},
        {L".\\quor", L"HOST", L".\\quor", false},
    };
    for (const Case& c : cases) {
        int lookups = 0;
        const std::wstring account = NormaliseAccount(c.account, [&] {
            ++lookups;
            return std::wstring(c.domain);
        });
        EXPECT_EQ(account, c.expected) << quor::ToUtf8(c.account);
        EXPECT_EQ(lookups, c.looksUpDomain ? 1 : 0) << quor::ToUtf8(c.account);
    }
}

// The tests run as a local user, whose logon domain is the machine itself (Wine reports it so too).
TEST(AccountServiceTest, TheLogonDomainOfALocalUserIsTheMachineName) {
    wchar_t machine[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(machine, &length));
    EXPECT_EQ(GetLogonDomain(), machine);
}

} // namespace
} // namespace quorports
