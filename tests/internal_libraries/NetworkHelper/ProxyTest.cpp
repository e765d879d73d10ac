#include "NetworkHelper/Proxy.h"

#include <gtest/gtest.h>

using NetworkHelper::Bypassed;
using NetworkHelper::ChooseProxy;
using NetworkHelper::IsLoopback;

// Proxy lists as Internet Options and automatic configuration scripts write them.
TEST(Proxy, ListsNameTheServerForTheScheme)
{
    const struct
    {
        const char* list;
        const char* scheme;
        const char* host;
        int port;
    } cases[] = {
        {"proxy.example:8080", "http", "proxy.example", 8080},
        {"proxy.example", "https", "proxy.example", 80},
        {"http=web:3128;https=secure:8443", "https", "secure", 8443},
        {"HTTP=web:3128 ftp=files:21", "http", "web", 3128},
        {"ftp=files:21;socks=s:1080", "http", "", 0},
        {"first:1; second:2", "http", "first", 1},
        {"http://proxy.example:8080/", "http", "proxy.example", 8080},
        {"[2001:db8::1]:3128", "http", "[2001:db8::1]", 3128},
        {"[2001:db8::1]", "http", "[2001:db8::1]", 80},
        // Unusable entries choose no proxy rather than a wrong one.
        {"proxy:", "http", "", 0},
        {"proxy:80x", "http", "", 0},
        {"proxy:70000", "http", "", 0},
        {":8080", "http", "", 0},
        {"user@proxy:8080", "http", "", 0},
        {"a:b:8080", "http", "", 0},
        {"", "http", "", 0},
    };
    for (const auto& test : cases)
    {
        const NetworkHelper::ProxyServer chosen = ChooseProxy(test.list, test.scheme);
        EXPECT_EQ(chosen.host, test.host) << test.list;
        EXPECT_EQ(chosen.port, test.port) << test.list;
    }
}

TEST(Proxy, ExceptionsAndLoopbackConnectDirectly)
{
    const struct
    {
        const char* exceptions;
        const char* host;
        bool bypassed;
    } cases[] = {
        {"<local>", "intranet", true},
        {"<local>", "update.corvane.example", false},
        {"*.corvane.example;10.*", "Update.Corvane.Example", true},
        {"*.corvane.example;10.*", "10.1.2.3", true},
        {"*.corvane.example;10.*", "corvane.example", false},
        {"update.corvane.example", "update.corvane.example.evil", false},
        {"", "anything", false},
    };
    for (const auto& test : cases)
        EXPECT_EQ(Bypassed(test.exceptions, test.host), test.bypassed)
            << test.exceptions << " " << test.host;
    for (const char* host : {"localhost", "127.0.0.1", "127.3.2.1", "[::1]"})
        EXPECT_TRUE(IsLoopback(host)) << host;
    for (const char* host : {"128.0.0.1", "localhost.example", "127"})
        EXPECT_FALSE(IsLoopback(host)) << host;
}
