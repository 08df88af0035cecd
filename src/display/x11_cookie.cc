// The connection's cookie found with libXau, by the address the connection really has
// (whatever the display's name), and a connect that reads no file.
#include "display/x11_cookie.h"

#include <X11/Xauth.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr char cookieName[] = "MIT-MAGIC-COOKIE-1";

// The family and address an authority file files the connection's server under. A local
// socket, and TCP to this machine's loopback, go by the host's name, as libxcb's do.
bool serverAddress(int socket, unsigned short& family, std::string& address) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return false;
    }
    const auto bytes = [&](const void* from, std::size_t count) {
        address.assign(static_cast<const char*>(from), count);
    };
    if (peer.ss_family == AF_INET) {
        const in_addr& ip = reinterpret_cast<const sockaddr_in&>(peer).sin_addr;
        if ((ntohl(ip.s_addr) >> 24) != 127) {
            family = FamilyInternet;
            bytes(&ip, sizeof ip);
            return true;
        }
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& ip = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&ip) && ip.s6_addr[12] != 127) {
            family = FamilyInternet;
            bytes(ip.s6_addr + 12, 4);
            return true;
        }
        if (!IN6_IS_ADDR_LOOPBACK(&ip) && !IN6_IS_ADDR_V4MAPPED(&ip)) {
            family = FamilyInternet6;
            bytes(&ip, sizeof ip);
            return true;
        }
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    family = FamilyLocal;
    address = host;
    return true;
}

// The display number in "host:number.screen".
std::string displayNumber(const std::string& name) {
    const auto colon = name.rfind(':');
    if (colon == std::string::npos) {
        return {};
    }
    const auto dot = name.find('.', colon);
    return name.substr(colon + 1, dot == std::string::npos ? std::string::npos : dot - colon - 1);
}

}  // namespace

std::string cookieOf(Display* connection) {
    unsigned short family = 0;
    std::string address;
    if (!serverAddress(ConnectionNumber(connection), family, address)) {
        return {};
    }
    const std::string number = displayNumber(DisplayString(connection));
    char* types[] = {const_cast<char*>(cookieName)};
    int typeLengths[] = {static_cast<int>(std::strlen(cookieName))};
    Xauth* entry = XauGetBestAuthByAddr(family, static_cast<unsigned short>(address.size()),
                                        address.data(), static_cast<unsigned short>(number.size()),
                                        number.data(), 1, types, typeLengths);
    if (entry == nullptr) {
        return noCookie;
    }
    std::string cookie(entry->name, entry->name_length);
    cookie.append(1, '\0').append(entry->data, entry->data_length);
    XauDisposeAuth(entry);
    return cookie;
}

// Where the server needed no cookie, libXau is pointed at an empty file for the connect.
Display* connectWithCookie(const std::string& display, const std::string& cookie) {
    if (cookie == noCookie) {
        const char* named = std::getenv("XAUTHORITY");
        const std::string kept = named != nullptr ? named : "";
        setenv("XAUTHORITY", "/dev/null", 1);
        Display* connection = XOpenDisplay(display.c_str());
        named != nullptr ? setenv("XAUTHORITY", kept.c_str(), 1) : unsetenv("XAUTHORITY");
        return connection;
    }
    const auto end = cookie.find('\0');
    std::string name = cookie.substr(0, end);
    std::string data = end == std::string::npos ? "" : cookie.substr(end + 1);
    XSetAuthorization(name.data(), static_cast<int>(name.size()), data.data(),
                      static_cast<int>(data.size()));
    Display* connection = XOpenDisplay(display.c_str());
    XSetAuthorization(nullptr, 0, nullptr, 0);
    return connection;
}
