// The stand-in httpd's whole HTTP dialogue: read a request head, answer 200 naming its line.
#pragma once

#include <string>
#include <string_view>

namespace quor::standin {

// True when the received bytes hold a whole request head (it ends with an empty line).
bool RequestHeadComplete(std::string_view received);

// First line of the received bytes without its line break (LF or CR LF).
std::string_view RequestLine(std::string_view received);

// The answer to any request: "HTTP/1.0 200 OK", plain-text headers with the body length,
// and a body that is exactly the request line.
std::string HttpAnswer(std::string_view requestLine);

} // namespace quor::standin
