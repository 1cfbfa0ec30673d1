// The port holders: owner tables given by the test, real processes, and the system's tables.
#include "PortHolders.h"
#include "Process.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

using namespace quorports;

namespace {

// An owner table holding rows, in a buffer aligned as the system's tables are.
template <typename Table, typename Row> class OwnerTable {
public:
    explicit OwnerTable(const std::vector<Row>& rows)
        : m_buffer((offsetof(Table, table) + rows.size() * sizeof(Row)) / sizeof(DWORD) + 1) {
        Get().dwNumEntries = static_cast<DWORD>(rows.size());
        std::memcpy(reinterpret_cast<std::byte*>(m_buffer.data()) + offsetof(Table, table),
                    rows.data(), rows.size() * sizeof(Row));
    }
    Table& Get() { return *reinterpret_cast<Table*>(m_buffer.data()); }

private:
    std::vector<DWORD> m_buffer;
};

// A row of either owner table. The tables keep the port in network byte order in the low
// 16 bits; the high bits are undefined, so the rows here fill them with garbage.
template <typename Row> Row RowOf(int port, DWORD pid, DWORD state = MIB_TCP_STATE_LISTEN) {
    Row row{};
    row.dwState = state;
    row.dwLocalPort = 0xABCD0000u | htons(static_cast<u_short>(port));
    row.dwOwningPid = pid;
    return row;
}
using Row4 = MIB_TCPROW_OWNER_PID;
using Row6 = MIB_TCP6ROW_OWNER_PID;
using Table4 = OwnerTable<MIB_TCPTABLE_OWNER_PID, Row4>;
using Table6 = OwnerTable<MIB_TCP6TABLE_OWNER_PID, Row6>;

// A listening socket of the test on a port the system picks.
class Listener {
public:
    explicit Listener(int family) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_socket = socket(family, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_storage address{};
        address.ss_family = static_cast<ADDRESS_FAMILY>(family);
        int length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            listen(m_socket, 4) == 0 &&
            getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            // The port sits at the same place in both address forms.
            m_port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        }
    }
    ~Listener() {
        closesocket(m_socket);
        WSACleanup();
    }
    int Port() const { return m_port; }

private:
    SOCKET m_socket = INVALID_SOCKET;
    int m_port = 0;
};

constexpr wchar_t kOwnImage[] = L"QuorPortsPortHoldersTest.exe";

} // namespace

TEST(PortHoldersTest, TablesGiveTheListeningRowsInHostOrder) {
    Table4 v4(
        {RowOf<Row4>(8080, 11), RowOf<Row4>(8080, 12, MIB_TCP_STATE_ESTAB), RowOf<Row4>(3306, 13)});
    const std::vector<TcpListener> expected4 = {{8080, 11}, {3306, 13}};
    EXPECT_EQ(ListenersIn(v4.Get()), expected4);

    Table6 v6({RowOf<Row6>(443, 14, MIB_TCP_STATE_TIME_WAIT), RowOf<Row6>(443, 15),
               RowOf<Row6>(65535, 16)});
    const std::vector<TcpListener> expected6 = {{443, 15}, {65535, 16}};
    EXPECT_EQ(ListenersIn(v6.Get()), expected6);
}

TEST(PortHoldersTest, NamesTheFirstListenerWhoseProcessRuns) {
    const DWORD own = GetCurrentProcessId();
    // A process that has ended: first while this test still holds its handle, which keeps
    // its id alive, then gone altogether.
    quor::KernelHandle child = quor::StartHidden(quor::SystemProgram(L"cmd.exe"), L"/c exit 0");
    ASSERT_TRUE(child);
    ASSERT_EQ(WaitForSingleObject(child.get(), 30000), WAIT_OBJECT_0);
    const DWORD ended = GetProcessId(child.get());

    Table4 v4({RowOf<Row4>(8080, own), RowOf<Row4>(3306, 0), RowOf<Row4>(3306, ended)});
    Table6 v6({RowOf<Row6>(3306, own)});
    std::vector<TcpListener> listeners = ListenersIn(v4.Get());

    // Id 0 and an ended process name nobody; a listener on another port does not count.
    EXPECT_FALSE(HolderOf(3306, listeners).has_value());
    child.reset();
    EXPECT_FALSE(HolderOf(3306, listeners).has_value());
    EXPECT_TRUE(ProcessImageName(ended).empty());
    EXPECT_FALSE(HolderOf(80, listeners).has_value());

    // The IPv6 row of a running process names it, by file name only.
    const std::vector<TcpListener> v6Listeners = ListenersIn(v6.Get());
    listeners.insert(listeners.end(), v6Listeners.begin(), v6Listeners.end());
    const std::optional<PortHolder> holder = HolderOf(3306, listeners);
    ASSERT_TRUE(holder.has_value());
    EXPECT_TRUE(quor::EqualsNoCase(holder->imageName, kOwnImage))
        << quor::ToUtf8(holder->imageName);
    EXPECT_EQ(holder->processId, own);
    EXPECT_EQ(HolderOf(8080, listeners)->processId, own);
}

TEST(PortHoldersTest, SystemTablesListTheTestsListeners) {
    Listener v4(AF_INET);
    Listener v6(AF_INET6);
    ASSERT_NE(v4.Port(), 0);
    ASSERT_NE(v6.Port(), 0);
    const std::vector<TcpListener> listeners = SystemListeners();
    for (int port : {v4.Port(), v6.Port()}) {
        SCOPED_TRACE(port);
        auto found = std::find_if(listeners.begin(), listeners.end(),
                                  [&](const TcpListener& l) { return l.port == port; });
        ASSERT_NE(found, listeners.end());
        // Wine reports owning process id 0 for every listener; Windows reports this process.
        EXPECT_TRUE(found->processId == 0 || found->processId == GetCurrentProcessId());
        const std::optional<PortHolder> holder = FindPortHolder(port);
        if (found->processId == 0) {
            EXPECT_FALSE(holder.has_value());
        } else {
            ASSERT_TRUE(holder.has_value());
            EXPECT_TRUE(quor::EqualsNoCase(holder->imageName, kOwnImage));
        }
    }
}
