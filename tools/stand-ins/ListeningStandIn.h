// The stand-in server as a hosted server: it listens on the configured port and records its
// start and stop in standin.log.
#pragma once

#include "ServiceHost.h"
#include "StandInConfig.h"
#include "StandInServer.h"

#include <string>

namespace quor::standin {

class ListeningStandIn : public HostedServer {
public:
    ListeningStandIn(Flavour flavour, std::wstring root);

    // Listens on the port of the configuration ("started port N"); when the port cannot be
    // listened on, the code is the Winsock error ("cannot listen on port N (error E)").
    Outcome Start(const Progress& progress) override;
    // Closes the port, then logs "stopped".
    Outcome Stop(const Progress& progress) override;
    // False when the configuration says "refuse_stop=1".
    bool AcceptsStop() override { return !m_refusesStop; }

private:
    Flavour m_flavour;
    std::wstring m_root;
    StandInServer m_server;
    bool m_refusesStop = false;
};

} // namespace quor::standin
