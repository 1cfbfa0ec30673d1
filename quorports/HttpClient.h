// The HTTP client of QuorPorts: sends one request in the background and ignores the answer.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace quorports {

class HttpClient {
public:
    HttpClient() = default;
    // Abandons a request that is still running.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // True while a request is running.
    bool Busy() const { return m_busy; }

    // Starts one request and returns at once: method "GET" or "POST", data as the body
    // (also for GET), header as the one request header line. False when the URL cannot be
    // used or a request is still running.
    bool Start(const std::wstring& url, const std::wstring& method, const std::string& data,
               const std::wstring& header);

private:
    void Run(std::wstring url, std::wstring method, std::string data, std::wstring header);

    std::thread m_worker;
    std::atomic<bool> m_busy{false};
    std::atomic<void*> m_session{nullptr}; // HINTERNET of the running request's session
};

} // namespace quorports
