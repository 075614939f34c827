// WinInet-shaped HTTP operations for Linux, on libsoup 3.
//
// Plain C++ only: no header of ours, no GLib type. Handles are opaque nonzero numbers and 0
// is failure. A text argument is either none (nullptr) or a string; the two differ, as they
// do for WinInet ("" is an empty string, nullptr is none). Results are returned as is or as
// 1/0 exactly as each comment says.
#pragma once

#include <cstdint>
#include <string>

namespace tessaro::inet {

using Handle = std::uint32_t;

// Access types of InternetOpenA.
inline constexpr std::uint32_t kOpenTypePreconfig = 0;
inline constexpr std::uint32_t kOpenTypeDirect = 1;
inline constexpr std::uint32_t kOpenTypeProxy = 3;
inline constexpr std::uint32_t kOpenTypePreconfigNoAutoproxy = 4;

// Flags.
inline constexpr std::uint32_t kFlagReload = 0x80000000u;
inline constexpr std::uint32_t kFlagNoCacheWrite = 0x04000000u;
inline constexpr std::uint32_t kFlagPragmaNoCache = 0x00000100u;
inline constexpr std::uint32_t kFlagKeepConnection = 0x00400000u;
inline constexpr std::uint32_t kFlagNoCookies = 0x00080000u;

// HttpQueryInfoA levels and modifiers.
inline constexpr std::uint32_t kQueryContentLength = 5;
inline constexpr std::uint32_t kQueryStatusCode = 19;
inline constexpr std::uint32_t kQueryRawHeadersCrlf = 22;
inline constexpr std::uint32_t kQueryFlagNumber = 0x20000000u;

// InternetGetConnectedState flags.
inline constexpr std::uint32_t kConnectionLan = 0x02;
inline constexpr std::uint32_t kConnectionProxy = 0x04;
inline constexpr std::uint32_t kConnectionConfigured = 0x40;

// InternetSetOptionA option that ends the browser session: session cookies leave the store.
inline constexpr std::uint32_t kOptionEndBrowserSession = 42;

inline constexpr std::uint32_t kServiceHttp = 3;

// As is: nonzero when connected; flags written.
std::uint32_t InternetGetConnectedState(std::uint32_t* flags, std::uint32_t reserved);
// As is: an Internet handle or 0.
Handle InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxy,
                     const char* proxyBypass, std::uint32_t flags);
// As is: a request handle whose response headers have arrived, or 0.
Handle InternetOpenUrlA(Handle internet, const char* url, const char* headers,
                        std::uint32_t headersLength, std::uint32_t flags, std::uintptr_t context);
// 1/0. Closing a handle cancels every pending operation on it and on its children.
std::uint32_t InternetCloseHandle(Handle h);
// Number form, as is: writes a 32-bit number into *buffer.
std::uint32_t HttpQueryInfoNumber(Handle request, std::uint32_t infoLevel, std::uint32_t* buffer,
                                  std::uint32_t* bufferLength, std::uint32_t* index);
// Text form, 1/0: writes at most *bufferLength bytes, terminating zero included; on a too
// small buffer writes nothing, sets *bufferLength to the size needed and returns 0.
std::uint32_t HttpQueryInfoText(Handle request, std::uint32_t infoLevel, char* buffer,
                                std::uint32_t* bufferLength, std::uint32_t index);
// 1/0: *bytesRead is set to 0 first; 0 bytes read at the end of the data.
std::uint32_t InternetReadFile(Handle h, void* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesRead);
// As is: a connection handle or 0.
Handle InternetConnectA(Handle internet, const char* serverName, std::uint32_t port,
                        const char* userName, const char* password, std::uint32_t service,
                        std::uint32_t flags, std::uintptr_t context);
// As is: a request handle or 0. A null verb means GET.
Handle HttpOpenRequestA(Handle connection, const char* verb, const char* objectName,
                        const char* version, const char* referrer, const char* acceptTypes,
                        std::uint32_t flags, std::uintptr_t context);
// 1/0. Blocks until the response headers have arrived. headersLength of 0xFFFFFFFF means
// "up to the terminating zero".
std::uint32_t HttpSendRequestA(Handle request, const char* headers, std::uint32_t headersLength,
                               const void* optional, std::uint32_t optionalLength);
// 1/0.
std::uint32_t InternetSetCookieA(const char* url, const char* cookieName, const char* cookieData);
// 1/0: the "a=1; b=2" text of the cookies a request to url would carry.
std::uint32_t InternetGetCookieA(const char* url, const char* cookieName, char* cookieData,
                                 std::uint32_t* size);
// As is.
std::uint32_t InternetSetOptionA(Handle h, std::uint32_t option, const void* buffer,
                                 std::uint32_t bufferLength);

}  // namespace tessaro::inet
