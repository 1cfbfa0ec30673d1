// The stand-in httpd's whole HTTP dialogue: read a request head, answer 200 naming its line.
#include "HttpAnswer.h"

namespace quor::standin {

bool RequestHeadComplete(std::string_view received) {
    // Clients that end lines with LF alone are answered too.
    return received.find("\r\n\r\n") != std::string_view::npos ||
           received.find("\n\n") != std::string_view::npos;
}

std::string_view RequestLine(std::string_view received) {
    std::string_view line = received.substr(0, received.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

std::string HttpAnswer(std::string_view requestLine) {
    std::string answer = "HTTP/1.0 200 OK\r\n"
                         "Server: QUOR stand-in httpd\r\n"
                         "Content-Type: text/plain\r\n"
                         "Content-Length: " +
                         std::to_string(requestLine.size()) +
                         "\r\n"
                         "Connection: close\r\n"
                         "\r\n";
    answer += requestLine;
    return answer;
}

} // namespace quor::standin
