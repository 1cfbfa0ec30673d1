// The HTTP client of QuorPorts: sends one request in the background and ignores the answer.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace quorports {

class HttpClient {
public:
    HttpClient();
    // Abandons a request that is still running: its session is closed and its thread is left
    // to end with the program.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // True while a request is running.
    bool Busy() const { return m_shared->busy; }

    // Starts one request and returns at once: method "GET" or "POST", data as the body
    // (also for GET), header as the one request header line. False when a request is still
    // running or no session could be opened.
    bool Start(const std::wstring& url, const std::wstring& method, const std::string& data,
               const std::wstring& header);

private:
    // What the request's thread shares with the client; it outlives the client when a
    // request is abandoned.
    struct Shared {
        std::atomic<bool> busy{false};
        std::atomic<void*> session{nullptr}; // HINTERNET, closed once by whoever comes first
    };

    static void Run(std::shared_ptr<Shared> shared, void* session, std::wstring url,
                    std::wstring method, std::string data, std::wstring header);

    std::shared_ptr<Shared> m_shared;
    std::thread m_worker;
};

} // namespace quorports
