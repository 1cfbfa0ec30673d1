// The stand-in server as a hosted server: listens on the configured port, logs start and stop.
#include "ListeningStandIn.h"

#include "StandInLog.h"

namespace quor::standin {

ListeningStandIn::ListeningStandIn(Flavour flavour, std::wstring root)
    : m_flavour(flavour), m_root(std::move(root)), m_server(m_flavour, m_root) {}

HostedServer::Outcome ListeningStandIn::Start(const Progress&) {
    const unsigned short port = ReadPort(m_root, m_flavour);
    m_refusesStop = RefusesStop(m_root, m_flavour);
    if (const int error = m_server.Start(port); error != 0) {
        const std::wstring line = L"cannot listen on port " + std::to_wstring(port) + L" (error " +
                                  std::to_wstring(error) + L")";
        AppendLogLine(m_root, m_flavour, line);
        return {static_cast<DWORD>(error), line};
    }
    const std::wstring line = L"started port " + std::to_wstring(port);
    AppendLogLine(m_root, m_flavour, line);
    return {0, line};
}

HostedServer::Outcome ListeningStandIn::Stop(const Progress&) {
    m_server.Stop();
    // The log line comes before STOPPED: once STOPPED is reported the process may end.
    AppendLogLine(m_root, m_flavour, L"stopped");
    return {0, L"stopped"};
}

} // namespace quor::standin
