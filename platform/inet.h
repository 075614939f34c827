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
inline constexpr std::uint32_t kFlagSecure = 0x00800000u;          // https
inline constexpr std::uint32_t kFlagNoAutoRedirect = 0x00200000u;  // answer the 3xx itself

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

// As is: nonzero when GLib's network monitor says a network is available (a machine with
// loopback only counts); *flags gets LAN and CONFIGURED then, and PROXY whenever a system
// proxy is configured (proxy environment variables or the system resolver).
std::uint32_t InternetGetConnectedState(std::uint32_t* flags, std::uint32_t reserved);
// As is: an Internet handle or 0. Access types 0 and 4 use the system's proxy settings, 1
// goes direct, 3 goes through the proxy list: "http=host[:port]", "https=host[:port]" or a
// bare "host[:port]" for every scheme, entries separated by blanks or ";" (0 when none is
// usable, or when the list is none or empty). The bypass list names hosts that go direct.
// The agent is the User-Agent of every request unless the caller's headers name one.
// Handles of one access type and proxy share one session, which outlives them, so idle
// keep-alive connections serve later handles.
Handle InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxy,
                     const char* proxyBypass, std::uint32_t flags);
// As is: a request handle (a child of the Internet handle) whose response headers have
// arrived, or 0. http and https URLs; redirects are followed. headersLength as for
// HttpSendRequestA. Flags: kFlagNoCacheWrite keeps the body out of the response cache,
// kFlagPragmaNoCache adds "Pragma: no-cache", kFlagReload is always honoured (nothing is
// ever answered from the cache), kFlagNoCookies, kFlagNoAutoRedirect.
Handle InternetOpenUrlA(Handle internet, const char* url, const char* headers,
                        std::uint32_t headersLength, std::uint32_t flags, std::uintptr_t context);
// 1/0 (0 for an unknown handle). Closes the handle and all its children, from any thread:
// a send or read blocked on any of them fails at once. Closing an Internet handle also
// writes pending cookie files.
std::uint32_t InternetCloseHandle(Handle h);
// Number form, as is: the value of a numeric header (kQueryContentLength, kQueryStatusCode,
// any level with kQueryFlagNumber) into *buffer; *bufferLength must be at least 4 (else it
// is set to 4 and 0 returned). *index, when given, picks the occurrence and is advanced.
// 0 when the response has no such header or its value is no 32-bit number.
std::uint32_t HttpQueryInfoNumber(Handle request, std::uint32_t infoLevel, std::uint32_t* buffer,
                                  std::uint32_t* bufferLength, std::uint32_t* index);
// Text form, 1/0: writes at most *bufferLength bytes, terminating zero included, and sets
// *bufferLength to the length without the zero; on a too small buffer writes nothing, sets
// *bufferLength to the size needed (zero included) and returns 0. kQueryRawHeadersCrlf is
// the status line ("HTTP/1.1 200 OK") and every header line, each ending in CR LF, then an
// empty line; header lines come in libsoup's order, lines of one name in received order.
std::uint32_t HttpQueryInfoText(Handle request, std::uint32_t infoLevel, char* buffer,
                                std::uint32_t* bufferLength, std::uint32_t index);
// 1/0: *bytesRead is set to 0 first. Fills the buffer unless the body ends first; 0 bytes
// read (result 1) at the end of the data. A failure stores 0 and returns 0; when some bytes
// did arrive before a broken connection, they are handed over and the next read fails.
std::uint32_t InternetReadFile(Handle h, void* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesRead);
// As is: a connection handle or 0. The server name must be a plain host name or address
// (letters, digits, "-", ".", "_", or an IPv6 literal in brackets): anything else gives 0.
// Port 0 is the default port; kFlagSecure makes the connection https. Only kServiceHttp.
Handle InternetConnectA(Handle internet, const char* serverName, std::uint32_t port,
                        const char* userName, const char* password, std::uint32_t service,
                        std::uint32_t flags, std::uintptr_t context);
// As is: a request handle or 0. A null or empty verb means GET; a verb with other than
// token characters gives 0. A null or empty object name is "/". The object name goes out
// byte for byte except the bytes a request line cannot carry (controls, space, DEL, bytes
// from 0x80, and " < > \ ^ ` { | }), which are percent-encoded; "%" "#" "?" "&" "+" "="
// stay as they are. The version is not honoured (libsoup chooses).
Handle HttpOpenRequestA(Handle connection, const char* verb, const char* objectName,
                        const char* version, const char* referrer, const char* acceptTypes,
                        std::uint32_t flags, std::uintptr_t context);
// 1/0. Blocks until the response headers have arrived (any HTTP status is a success).
// headersLength of 0xFFFFFFFF means "up to the terminating zero". The header text is
// "Name: value" lines; a CR or an LF ends a line, a line without a valid name is dropped.
// Each line is sent as given, replacing a default of the same name (User-Agent, Host,
// Connection...); Content-Length and Transfer-Encoding lines are dropped, the body decides
// them; a Cookie line goes in front of the store's cookies on one Cookie line. The optional
// data is the body. One send per request handle.
std::uint32_t HttpSendRequestA(Handle request, const char* headers, std::uint32_t headersLength,
                               const void* optional, std::uint32_t optionalLength);
// 1/0. Stores name=data for the URL as a Set-Cookie line from it would; a none or empty
// name means data is a whole "name=value; attributes" line. 0 for a line the cookie rules
// ignore and for a cookie the URL may not set (another domain, a top-level domain, Secure
// over http). An expiry in the past deletes (1, even when nothing was there). Dates such as
// "Fri, 1-Jan-1999 1:1:1 GMT" are understood.
std::uint32_t InternetSetCookieA(const char* url, const char* cookieName, const char* cookieData);
// 1/0: the "a=1; b=2" text of the cookies a top-level request to url would carry, HttpOnly
// and SameSite ones included; with a name (not none, not empty) only "name=value" of that
// cookie. 0 when there is none. A null cookieData asks for the size: 1, *size = length + 1.
// A too small buffer (*size below length + 1): 0, nothing written, *size = length + 1. On
// success *size is the length without the zero.
std::uint32_t InternetGetCookieA(const char* url, const char* cookieName, char* cookieData,
                                 std::uint32_t* size);
// As is: kOptionEndBrowserSession drops the session cookies from the store (1); the refresh
// and settings-changed options (37, 39) are accepted (1); any other option gives 0.
std::uint32_t InternetSetOptionA(Handle h, std::uint32_t option, const void* buffer,
                                 std::uint32_t bufferLength);

// Beyond WinInet: after cookie files were deleted from the Cookies folder, the persistent
// cookies they held leave the store too (and the embedded browser with it), so the next
// change does not write them back. Cookies whose file has not been written yet stay.
void ForgetCookiesWithoutFiles();

}  // namespace tessaro::inet
