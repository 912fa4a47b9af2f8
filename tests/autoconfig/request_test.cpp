// The request head reader and the Autodiscover body, on the bytes hostile or sloppy clients
// send: each either reads as the client meant or ends in the status that says why not.
#include "autoconfig/client_documents.h"
#include "autoconfig/http_request.h"

#include <gtest/gtest.h>

namespace brevin::http {
namespace {

struct Outcome {
    RequestReader::Step step = RequestReader::Step::More;
    int status = 0;
    Request request;
};

// Feeds `head` line by line, as the session cycle hands lines over.
Outcome Read(std::string_view head, Limits limits = {}) {
    RequestReader reader(limits);
    Outcome outcome;
    while (!head.empty() && outcome.step == RequestReader::Step::More) {
        const std::size_t end = head.find('\n');
        const std::size_t length = end == std::string_view::npos ? head.size() : end + 1;
        outcome.step = reader.AddLine(head.substr(0, length));
        head.remove_prefix(length);
    }
    outcome.status = reader.Status();
    if (outcome.step == RequestReader::Step::Complete) {
        outcome.request = reader.Take();
    }
    return outcome;
}

TEST(RequestReader, ReadsWhatClientsSend) {
    const Outcome thunderbird =
        Read("GET /mail/config-v1.1.xml?emailaddress=ann%40office.example HTTP/1.1\r\n"
             "Host: autoconfig.office.example\r\nUser-Agent: x\r\n\r\n");
    ASSERT_EQ(thunderbird.step, RequestReader::Step::Complete);
    EXPECT_EQ(thunderbird.request.path, "/mail/config-v1.1.xml");
    EXPECT_EQ(QueryValue(thunderbird.request.query, "emailaddress"), "ann@office.example");
    EXPECT_TRUE(thunderbird.request.keepAlive);

    const Outcome outlook = Read("POST http://autodiscover.x/Autodiscover/Autodiscover.xml "
                                 "HTTP/1.1\nHost: autodiscover.x\nContent-Length: 12\n"
                                 "Expect: 100-continue\nConnection: close\n\n");
    ASSERT_EQ(outlook.step, RequestReader::Step::Complete);
    EXPECT_EQ(outlook.request.method, Method::Post);
    EXPECT_EQ(outlook.request.path, "/Autodiscover/Autodiscover.xml");
    EXPECT_EQ(outlook.request.contentLength, 12U);
    EXPECT_TRUE(outlook.request.expectContinue);
    EXPECT_FALSE(outlook.request.keepAlive);

    const Outcome old = Read("\r\nHEAD / HTTP/1.0\r\n\r\n");
    ASSERT_EQ(old.step, RequestReader::Step::Complete);
    EXPECT_EQ(old.request.method, Method::Head);
    EXPECT_FALSE(old.request.keepAlive); // HTTP/1.0 closes unless asked otherwise
}

TEST(RequestReader, RefusesWhatCouldBeReadTwoWays) {
    const struct {
        const char* what;
        std::string head;
        int status;
    } cases[] = {
        {"dot segment", "GET /a/../b HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"encoded dot segment", "GET /%2E%2e/b HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"encoded NUL", "GET /a%00 HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"broken escape", "GET /a%4 HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"backslash", "GET /a%5c..%5cb HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"no Host", "GET / HTTP/1.1\r\n\r\n", 400},
        {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"folding", "GET / HTTP/1.1\r\nHost: a\r\nX: 1\r\n 2\r\n\r\n", 400},
        {"blank before colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400},
        {"lone CR", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", 400},
        {"two spaces", "GET  / HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"no target", "GET HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"asterisk", "OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"signed length", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +5\r\n\r\n", 400},
        {"length list", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5, 5\r\n\r\n", 400},
        {"lengths differ",
         "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n"
         "Content-Length: 6\r\n\r\n",
         400},
        {"length and chunks",
         "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n"
         "Transfer-Encoding: chunked\r\n\r\n",
         400},
        {"chunks", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"body too large", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 16385\r\n\r\n", 413},
        {"huge length",
         "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999999999999\r\n"
         "\r\n",
         400},
        {"unknown expectation", "GET / HTTP/1.1\r\nHost: a\r\nExpect: magic\r\n\r\n", 417},
        {"HTTP/2", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505},
        {"not HTTP", "GET / FTP/1.0\r\n\r\n", 400},
        {"head too large",
         "GET / HTTP/1.1\r\nHost: a\r\n" + std::string(40, 'X') + ": " + std::string(20000, 'y') +
             "\r\n\r\n",
         431},
        {"too many headers",
         "GET / HTTP/1.1\r\nHost: a\r\n" +
             [] {
                 std::string many;
                 for (int i = 0; i < 65; ++i) {
                     many += "X-" + std::to_string(i) + ": 1\r\n";
                 }
                 return many;
             }() +
             "\r\n",
         431},
        {"too many blank lines", "\r\n\r\n\r\n\r\n\r\nGET / HTTP/1.1\r\n", 400},
    };
    for (const auto& c : cases) {
        const Outcome outcome = Read(c.head, {.maxLine = 32 * 1024});
        EXPECT_EQ(outcome.step, RequestReader::Step::Refused) << c.what;
        EXPECT_EQ(outcome.status, c.status) << c.what;
    }
    // A line longer than the limit (which the session cuts before it ends) says which part.
    RequestReader reader;
    EXPECT_EQ(reader.AddLine(std::string(9000, 'a') + "\n"), RequestReader::Step::Refused);
    EXPECT_EQ(reader.Status(), 414);
}

TEST(RequestReader, StartsOverForTheNextRequest) {
    RequestReader reader;
    for (const char* line : {"GET /a HTTP/1.1\r\n", "Host: x\r\n", "\r\n"}) {
        reader.AddLine(line);
    }
    EXPECT_EQ(reader.Take().path, "/a");
    EXPECT_FALSE(reader.Started());
    for (const char* line : {"\r\n", "GET /b HTTP/1.1\r\n", "Host: x\r\n"}) {
        EXPECT_EQ(reader.AddLine(line), RequestReader::Step::More);
    }
    EXPECT_EQ(reader.AddLine("\r\n"), RequestReader::Step::Complete);
    EXPECT_EQ(reader.Take().path, "/b");
}

TEST(QueryValue, DecodesFormFields) {
    EXPECT_EQ(QueryValue("a=1&user=Ann+Lee&b", "user", true), "Ann Lee");
    EXPECT_EQ(QueryValue("emailaddress=a%2Bb%40x", "emailaddress"), "a+b@x");
    EXPECT_EQ(QueryValue("emailaddress=a%zz", "emailaddress"), std::nullopt);
    EXPECT_EQ(QueryValue("users=1", "user"), std::nullopt);
}

} // namespace
} // namespace brevin::http

namespace brevin {
namespace {

TEST(Autodiscover, TakesTheAddressAndNothingExpensive) {
    EXPECT_EQ(AutodiscoverAddress(
                  "<Autodiscover xmlns=\"http://schemas.microsoft.com/exchange/autodiscover/"
                  "outlook/requestschema/2006\"><Request><EMailAddress> ann@x.example "
                  "</EMailAddress></Request></Autodiscover>"),
              "ann@x.example");
    EXPECT_EQ(AutodiscoverAddress("<a:Autodiscover xmlns:a=\"urn:x\"><a:Request><a:EMailAddress>"
                                  "b@y</a:EMailAddress></a:Request></a:Autodiscover>"),
              "b@y");
    // Entities could make a small body expand without end: a document type is refused.
    EXPECT_EQ(AutodiscoverAddress("<!DOCTYPE a [<!ENTITY e \"x@y\">]><Autodiscover><Request>"
                                  "<EMailAddress>&e;</EMailAddress></Request></Autodiscover>"),
              std::nullopt);
    EXPECT_EQ(AutodiscoverAddress("<Autodiscover><Request><EMailAddress>no address"
                                  "</EMailAddress></Request></Autodiscover>"),
              std::nullopt);
    EXPECT_EQ(AutodiscoverAddress("<Autodiscover><Request>"), std::nullopt);
    EXPECT_EQ(LoginNameOf("Ann.Lee@office.example"), "Ann.Lee");
}

} // namespace
} // namespace brevin
