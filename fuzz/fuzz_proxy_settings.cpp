// Proxy lists and exception lists: the user's settings and what an automatic configuration
// script (fetched from the network) answers, and the host of a URL.
// Invariants: a chosen proxy has a host and a port from 1 to 65535, and choosing from the list
// "host:port" it makes gives it back; an exception that is the host itself, or "*", names it.
#include "FuzzSupport.h"

#include "NetworkHelper/Proxy.h"

#include <algorithm>
#include <cctype>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CorvaneFuzz::Input input(data, size);
    const std::string list = input.Piece();
    const std::string scheme = input.Piece();
    const std::string host = input.Rest();

    const NetworkHelper::ProxyServer chosen = NetworkHelper::ChooseProxy(list, scheme);
    if (!chosen.host.empty())
    {
        CORVANE_FUZZ_CHECK(chosen.port >= 1 && chosen.port <= 65535, CorvaneFuzz::Escaped(list));
        const NetworkHelper::ProxyServer again =
            NetworkHelper::ChooseProxy(chosen.host + ":" + std::to_string(chosen.port), "http");
        CORVANE_FUZZ_CHECK(again.host == chosen.host && again.port == chosen.port,
                           CorvaneFuzz::Escaped(list));
    }
    else
        CORVANE_FUZZ_CHECK(chosen.port == 0, CorvaneFuzz::Escaped(list));

    NetworkHelper::Bypassed(list, host);
    const bool plain =
        !host.empty() && std::none_of(host.begin(), host.end(),
                                      [](char c) {
                                          return c == '*' || c == ';' ||
                                                 std::isspace(static_cast<unsigned char>(c));
                                      });
    if (plain)
    {
        CORVANE_FUZZ_CHECK(NetworkHelper::Bypassed(host, host), CorvaneFuzz::Escaped(host));
        CORVANE_FUZZ_CHECK(NetworkHelper::Bypassed("*", host), CorvaneFuzz::Escaped(host));
    }
    NetworkHelper::IsLoopback(host);

    // A URL's host, when it has one, is a usable proxy host too.
    const NetworkHelper::UrlHost parts = NetworkHelper::HostOf(list);
    if (!parts.host.empty())
        CORVANE_FUZZ_CHECK((parts.scheme == "http" || parts.scheme == "https") &&
                               parts.host.find_first_of("/@?#") == std::string::npos,
                           CorvaneFuzz::Escaped(list));
    return 0;
}
