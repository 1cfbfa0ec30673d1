// The stand-in httpd's request reading and its answer.
#include "HttpAnswer.h"

#include <gtest/gtest.h>

namespace quor::standin {
namespace {

TEST(StandInHttpTest, RequestHeadEndsWithAnEmptyLine) {
    EXPECT_FALSE(RequestHeadComplete("GET / HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_TRUE(RequestHeadComplete("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(RequestHeadComplete("GET / HTTP/1.0\n\n"));
}

TEST(StandInHttpTest, RequestLineLosesItsLineBreakOnly) {
    EXPECT_EQ(RequestLine("GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\n"), "GET /a?b=1 HTTP/1.1");
    EXPECT_EQ(RequestLine("HEAD / HTTP/1.0\nX: y\n\n"), "HEAD / HTTP/1.0");
    EXPECT_EQ(RequestLine("GET /no-end"), "GET /no-end");
}

TEST(StandInHttpTest, AnswerIsOkWithTheRequestLineAsItsWholeBody) {
    const std::string line = "POST /login.php HTTP/1.1";
    const std::string answer = HttpAnswer(line);
    ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    const size_t headEnd = answer.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    const std::string head = answer.substr(0, headEnd + 2);
    EXPECT_EQ(answer.substr(headEnd + 4), line);
    EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(line.size()) + "\r\n"),
              std::string::npos);
}

} // namespace
} // namespace quor::standin
