// The listening half of a stand-in: a TCP socket on the configured port and the worker
// thread that accepts its connections.
#pragma once

#include "SocketHandle.h"
#include "StandInConfig.h"
#include "UniqueHandle.h"

#include <string>
#include <thread>

namespace quor::standin {

class StandInServer {
public:
    StandInServer(Flavour flavour, std::wstring root);
    ~StandInServer() { Stop(); }
    StandInServer(const StandInServer&) = delete;
    StandInServer& operator=(const StandInServer&) = delete;

    // Listens on 0.0.0.0:port without address reuse, so a port another program holds stays
    // refused, and starts accepting on a worker thread. Returns 0 or the Winsock error.
    int Start(unsigned short port);

    // Ends the worker and closes the listening socket; the port is free when this returns.
    void Stop();

private:
    void Serve();
    // The httpd reads one request head and answers it; the MySQL stand-in only accepts.
    void Answer(SOCKET client);

    WinsockSession m_winsock;
    Flavour m_flavour;
    std::wstring m_root;
    SocketHandle m_listener;
    KernelHandle m_stopRequested;
    KernelHandle m_acceptReady;
    std::thread m_worker;
};

} // namespace quor::standin
