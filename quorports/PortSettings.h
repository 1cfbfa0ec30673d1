// Port routines of QuorPorts: the probe that tells whether a port is free, and the rewrite of
// every configuration file that names the Apache or the MySQL port.
#pragma once

#include <string>

namespace quorports {

// The one listening socket that probes ports. After a successful probe it keeps listening
// on that port until the next probe closes it or the object is destroyed.
class ProbeSocket {
public:
    ProbeSocket();
    ~ProbeSocket();
    ProbeSocket(const ProbeSocket&) = delete;
    ProbeSocket& operator=(const ProbeSocket&) = delete;

    // True when a TCP socket could listen on port on all local addresses; a port another
    // process listens on is never free, also when that process allowed address reuse.
    // Ports outside 1..65535 are never free.
    bool PortFree(int port);

    // The machine's local IPv4 address in dotted text ("127.0.0.1" when it has none).
    std::wstring LocalIp() const;

    // Stops listening; the port held since the last probe is free again.
    void Close();

private:

    unsigned long long m_socket; // SOCKET, INVALID_SOCKET when closed
    bool m_winsockStarted = false;
};

// Replaces every occurrence of find (letters compared without regard to case, left to right,
// the inserted text not scanned again) in the ANSI text file at path. A missing, hidden,
// system or read-only file is skipped. The file is replaced in one step through a temporary file in
// the same folder, keeping its attributes; on any failure it stays as it was. A file in which
// nothing matched is not written. Bytes that are not valid ANSI text come back unchanged.
void ReplaceInFile(const std::wstring& path, const std::wstring& find,
                   const std::wstring& replacement);

// "http://localhost/" for port 80, else "http://localhost:PORT/".
std::wstring BaseAddress(int port);

// Moves every Apache-port reference under root from oldPort to newPort: the Listen and
// ServerName lines of httpd.conf (unless skipHttpdConf) and the *.url shortcut files directly
// in root.
void ChangeApachePort(const std::wstring& root, int oldPort, int newPort, bool skipHttpdConf);

// Moves every MySQL-port reference under root from oldPort to newPort: my.ini, insdb.bat,
// php.ini and the two config.php scripts.
void ChangeMysqlPort(const std::wstring& root, int oldPort, int newPort);

} // namespace quorports
