#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "Hub/URLSession.hpp"
#include "HubServer/HubServer.hpp"

namespace {

using foundation::URLError;
using hub::URLRequest;
using hub::URLSession;
using hubtest::HubServer;

class URLSessionTest : public ::testing::Test {
protected:
    URLSessionTest() {
        repos.write("owner/repo/small.json", "{\"a\":1}");
        repos.write("owner/repo/big.bin", hubtest::patternBytes(3 << 20));
    }
    std::string resolve(const std::string& file) const { return server.baseURL() + "/owner/repo/resolve/main/" + file; }

    hubtest::TemporaryFolder repos;
    HubServer server{{.root = repos.path(), .linkedThreshold = 1 << 20}};
};

URLError::Code failureCode(const std::function<void()>& body) {
    try {
        body();
    } catch (const URLError& error) {
        return error.code();
    }
    ADD_FAILURE() << "no URLError thrown";
    return URLError::Code::unknown;
}

TEST_F(URLSessionTest, GetAndHeadAnswerWithStatusHeadersAndBody) {
    URLSession session;
    auto [body, response] = session.data(URLRequest(resolve("small.json")));
    EXPECT_EQ(body, "{\"a\":1}");
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.url, resolve("small.json"));
    EXPECT_EQ(response.value("x-repo-commit"), response.value("X-Repo-Commit"));
    EXPECT_EQ(response.value("x-repo-commit")->size(), 40u);

    URLRequest head(resolve("small.json"));
    head.httpMethod = "HEAD";
    auto [nothing, headResponse] = session.data(head);
    EXPECT_TRUE(nothing.empty());
    EXPECT_EQ(headResponse.value("Content-Length"), "7");

    auto [missing, notFound] = session.data(URLRequest(resolve("absent.txt")));
    EXPECT_EQ(notFound.statusCode, 404);
    EXPECT_EQ(server.bodyBytesSent(), 7u) << "a HEAD answer carries no body";
}

TEST_F(URLSessionTest, RedirectsKeepTheTokenOnlyOnTheSameOrigin) {
    URLSession session;
    URLRequest request(resolve("big.bin"));
    request.setValue("Bearer secret", "Authorization");

    server.setRedirect(HubServer::Redirect::absolute);
    auto [body, response] = session.data(request);
    EXPECT_EQ(body.size(), 3u << 20);
    EXPECT_EQ(response.url.rfind(server.storageURL(), 0), 0u) << response.url;

    server.setRedirect(HubServer::Redirect::relative);
    auto [again, relative] = session.data(request);
    EXPECT_EQ(again, body);
    EXPECT_NE(relative.url.find("/api/resolve-cache/"), std::string::npos) << relative.url;

    auto log = server.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].authorization, "Bearer secret");
    EXPECT_EQ(log[1].port, std::stoi(server.storageURL().substr(server.storageURL().rfind(':') + 1)));
    EXPECT_EQ(log[1].authorization, std::nullopt) << "the token went to another port";
    EXPECT_EQ(log[3].authorization, "Bearer secret");

    URLSession refusing({.redirectPolicy = {}});
    server.setRedirect(HubServer::Redirect::absolute);
    auto [redirectBody, redirect] = refusing.data(request);
    EXPECT_EQ(redirect.statusCode, 302);
    EXPECT_EQ(redirect.value("Location")->rfind(server.storageURL(), 0), 0u);
}

TEST_F(URLSessionTest, StreamsTheBodyAfterTheResponseAndPassesErrorsThrough) {
    URLSession session;
    int heads = 0;
    size_t received = 0;
    size_t pieces = 0;
    session.stream(
        URLRequest(resolve("big.bin")),
        [&](const hub::HTTPURLResponse& response) {
            EXPECT_EQ(received, 0u);
            EXPECT_EQ(response.statusCode, 200);
            ++heads;
        },
        [&](std::string_view piece) {
            received += piece.size();
            ++pieces;
        });
    EXPECT_EQ(heads, 1);
    EXPECT_EQ(received, 3u << 20);
    EXPECT_GT(pieces, 1u);

    EXPECT_THROW(session.stream(
                     URLRequest(resolve("big.bin")), {},
                     [](std::string_view) { throw std::runtime_error("disk full"); }),
                 std::runtime_error);
    EXPECT_THROW(session.stream(
                     URLRequest(resolve("big.bin")),
                     [](const hub::HTTPURLResponse&) { throw std::runtime_error("refused"); }, {}),
                 std::runtime_error);
    // The session still works after a transfer was abandoned half-way.
    EXPECT_EQ(session.data(URLRequest(resolve("small.json"))).first, "{\"a\":1}");
}

TEST_F(URLSessionTest, TransportFailuresBecomeURLErrors) {
    URLSession session({.maximumDataLength = 1000});
    server.addFault({.kind = HubServer::Fault::Kind::dropAfterBytes, .bytes = 1000, .pathContains = "big", .times = 1});
    EXPECT_EQ(failureCode([&] { URLSession().data(URLRequest(resolve("big.bin"))); }),
              URLError::Code::networkConnectionLost);
    EXPECT_EQ(failureCode([&] { session.data(URLRequest(resolve("big.bin"))); }),
              URLError::Code::dataLengthExceedsMaximum);

    EXPECT_EQ(failureCode([&] { session.data(URLRequest("http://127.0.0.1:1/x")); }),
              URLError::Code::cannotConnectToHost);
    EXPECT_EQ(failureCode([&] { session.data(URLRequest("not a url")); }), URLError::Code::badURL);
    EXPECT_EQ(failureCode([&] { session.data(URLRequest("ftp://127.0.0.1/x")); }), URLError::Code::unsupportedURL);

    URLRequest injected(resolve("small.json"));
    injected.setValue("Bearer a\r\nX-Evil: 1", "Authorization");
    EXPECT_EQ(failureCode([&] { session.data(injected); }), URLError::Code::badURL);
    EXPECT_TRUE(server.requests().size() <= 2u) << "the injected header was sent";
}

TEST_F(URLSessionTest, AStalledTransferEndsByIdleTimeoutOrCancellation) {
    server.addFault({.kind = HubServer::Fault::Kind::stall, .bytes = 4096, .pathContains = "big"});
    URLSession session;
    URLRequest request(resolve("big.bin"));
    request.timeoutInterval = 1;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failureCode([&] { session.data(request); }), URLError::Code::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    request.timeoutInterval = 60;
    std::stop_source stop;
    auto cancelled = std::async(std::launch::async, [&] {
        return failureCode([&] { session.data(request, stop.get_token()); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    started = std::chrono::steady_clock::now();
    stop.request_stop();
    EXPECT_EQ(cancelled.get(), URLError::Code::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << "not at once";

    auto invalidated = std::async(std::launch::async, [&] { return failureCode([&] { session.data(request); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    session.invalidateAndCancel();
    EXPECT_EQ(invalidated.get(), URLError::Code::cancelled);
    EXPECT_EQ(failureCode([&] { session.data(URLRequest(resolve("small.json"))); }), URLError::Code::cancelled);
}

}  // namespace
