#include <gtest/gtest.h>

#include "Platform/Foundation/URL.hpp"
#include "Platform/Foundation/URLError.hpp"

namespace {

using foundation::URLComponents;

TEST(URL, ParsesThePartsAndRejectsTextNoURLCanHold) {
    auto url = URLComponents::parse("HTTPS://user@Example.COM:8443/a/b%2Fc?q=1#top");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, "https");
    EXPECT_EQ(url->userinfo, "user");
    EXPECT_EQ(url->host, "example.com");
    EXPECT_EQ(url->port, 8443);
    EXPECT_EQ(url->path, "/a/b%2Fc");
    EXPECT_EQ(url->query, "q=1");
    EXPECT_EQ(url->fragment, "top");
    EXPECT_EQ(url->string(), "https://user@example.com:8443/a/b%2Fc?q=1#top");

    auto ipv6 = URLComponents::parse("http://[::1]:80/");
    ASSERT_TRUE(ipv6);
    EXPECT_EQ(ipv6->host, "[::1]");
    EXPECT_EQ(ipv6->effectivePort(), 80);

    auto relative = URLComponents::parse("/x/y?z");
    ASSERT_TRUE(relative);
    EXPECT_FALSE(relative->host);
    EXPECT_EQ(relative->path, "/x/y");

    for (const char* bad : {"", "http://a b/", "http://host:99999/", "http://host:8x/", "http://h/\r\n", "http:path",
                            "http://h/%zz", "1http://h/", "http://h/\xC3\xA9"})
        EXPECT_FALSE(URLComponents::parse(bad) && URLComponents::parse(bad)->host) << bad;
    EXPECT_FALSE(URLComponents::parse("")->host);
}

TEST(URL, AppendsPathsAndSingleSegmentsWithOneSlashBetween) {
    using foundation::appendingPathComponents;
    EXPECT_EQ(appendingPathComponents("https://hub.test", "owner/name", false), "https://hub.test/owner/name");
    EXPECT_EQ(appendingPathComponents("https://hub.test/", "api", false), "https://hub.test/api");
    EXPECT_EQ(appendingPathComponents("https://hub.test/base//", "refs/pr/1", true), "https://hub.test/base/refs%2Fpr%2F1");
    EXPECT_EQ(appendingPathComponents("https://hub.test/x?q", "a b/é%#?", false), "https://hub.test/x/a%20b/%C3%A9%25%23%3F");
    EXPECT_EQ(appendingPathComponents("not a url", "x", false), std::nullopt);
}

TEST(URL, ResolvesReferencesAgainstABase) {
    const char* base = "http://a/b/c/d;p?q";
    struct Case {
        const char* reference;
        const char* expected;
    } cases[] = {
        {"g", "http://a/b/c/g"},           {"./g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},              {"//g", "http://g"},             {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},       {"", "http://a/b/c/d;p?q"},      {"../g", "http://a/b/g"},
        {"../../../g", "http://a/g"},      {"/./g", "http://a/g"},          {"g/../h", "http://a/b/c/h"},
        {"https://other:8443/x", "https://other:8443/x"},
    };
    for (const Case& c : cases) EXPECT_EQ(foundation::resolvingURL(c.reference, base), c.expected) << c.reference;
    EXPECT_EQ(foundation::resolvingURL("x", "/relative/base"), std::nullopt);
}

TEST(URL, ComparesOriginsAndNamesTheLastComponent) {
    EXPECT_TRUE(foundation::isSameOrigin("http://h/a", "HTTP://H:80/b"));
    EXPECT_FALSE(foundation::isSameOrigin("http://h/a", "http://h:81/a"));
    EXPECT_FALSE(foundation::isSameOrigin("http://h/a", "https://h/a"));
    EXPECT_FALSE(foundation::isSameOrigin("http://h/a", "/a"));
    EXPECT_EQ(foundation::lastPathComponent("https://h/a/config%20file.json?x"), "config file.json");
    EXPECT_EQ(foundation::lastPathComponent("https://h/a/b/"), "b");
    EXPECT_EQ(foundation::lastPathComponent("https://h"), "");
}

TEST(URLError, DescribesItsCode) {
    foundation::URLError error(foundation::URLError::Code::timedOut, "https://h/x");
    EXPECT_EQ(error.localizedDescription(), "The request timed out.");
    EXPECT_EQ(error.describe(), "timedOut(\"The request timed out.\")");
    EXPECT_EQ(static_cast<int>(error.code()), -1001);
    EXPECT_EQ(error.failingURL(), "https://h/x");
}

}  // namespace
