// The HTTP client of QuorPorts: sends one request in the background and ignores the answer.
#include "HttpClient.h"

#include "UniqueHandle.h"

#include <windows.h>
#include <wininet.h>

#include <vector>

namespace quorports {

namespace {

struct InternetTraits {
    static HINTERNET invalid() { return nullptr; }
    static void close(HINTERNET h) { InternetCloseHandle(h); }
};
using InternetHandle = quor::Unique<InternetTraits>;

// Closes the session once, whoever comes first: the finished request or the destructor.
void CloseSession(std::atomic<void*>& session) {
    if (void* open = session.exchange(nullptr)) {
        InternetCloseHandle(static_cast<HINTERNET>(open));
    }
}

} // namespace

HttpClient::HttpClient() : m_shared(std::make_shared<Shared>()) {}

HttpClient::~HttpClient() {
    // Closing the session aborts a request that is waiting for the server; one that is stuck
    // elsewhere (a slow name lookup) ends with the program.
    CloseSession(m_shared->session);
    if (m_worker.joinable()) {
        m_worker.detach();
    }
}

bool HttpClient::Start(const std::wstring& url, const std::wstring& method, const std::string& data,
                       const std::wstring& header) {
    if (m_shared->busy) {
        return false;
    }
    if (m_worker.joinable()) {
        m_worker.join();
    }
    HINTERNET session =
        InternetOpenW(L"QuorPorts", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session) {
        return false;
    }
    m_shared->session = session;
    m_shared->busy = true;
    m_worker = std::thread(&HttpClient::Run, m_shared, session, url, method, data, header);
    return true;
}

void HttpClient::Run(std::shared_ptr<Shared> shared, void* openedSession, std::wstring url,
                     std::wstring method, std::string data, std::wstring header) {
    // The parts of the URL; the buffers are sized for any URL that fits a request line.
    std::vector<wchar_t> host(url.size() + 1), path(url.size() + 1), extra(url.size() + 1);
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = static_cast<DWORD>(host.size());
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    parts.lpszExtraInfo = extra.data();
    parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    // If the client closed the session meanwhile, the calls below fail on the stale handle.
    HINTERNET session = static_cast<HINTERNET>(openedSession);
    if (InternetCrackUrlW(url.c_str(), 0, 0, &parts)) {
        InternetHandle connection(InternetConnectW(session, host.data(), parts.nPort, nullptr,
                                                   nullptr, INTERNET_SERVICE_HTTP, 0, 0));
        const std::wstring object = std::wstring(path.data()) + extra.data();
        const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_NO_COOKIES |
                            (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
        InternetHandle request(connection ? HttpOpenRequestW(connection.get(), method.c_str(),
                                                             object.empty() ? L"/" : object.c_str(),
                                                             nullptr, nullptr, nullptr, flags, 0)
                                          : nullptr);
        if (request && HttpSendRequestW(
                           request.get(), header.c_str(), static_cast<DWORD>(header.size()),
                           data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()))) {
            // The answer is not used; it is read so that the exchange ends cleanly.
            char buffer[4096];
            DWORD got = 0;
            while (InternetReadFile(request.get(), buffer, sizeof(buffer), &got) && got > 0) {
            }
        }
    }
    CloseSession(shared->session);
    shared->busy = false;
}

} // namespace quorports
