// One HTTP request to the log-collection server.
#pragma once

#include <cstdint>

namespace platform {

// Sends a request and waits for its response, which is read and dropped.
// Windows: InternetOpenW("agent"), InternetConnectW(host, port),
// HttpOpenRequestW(verb, object) without following redirects,
// HttpSendRequestW(headers, body), handles closed newest first; WinINet is
// loaded at the first request. POSIX: libcurl, loaded the same way, with the
// same verb, object (a leading "/" added when missing), agent, headers and
// body.
// true when a response's status line and headers arrived, whatever its
// status, which goes to *status (0 where the platform does not tell). false
// with the last error set to a nonzero WinINet or Win32 code otherwise.
bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status);

// The time limits of one request. The first three are WinINet's own
// defaults (the call above uses them): how long the connection may take, and
// how long a send or a receive may go without progress. total_ms bounds the
// whole request, so that a server that keeps sending a little at a time
// cannot hold it for longer; it defaults to the sum of the other three.
// Windows: INTERNET_OPTION_CONNECT_TIMEOUT, _SEND_TIMEOUT and _RECEIVE_TIMEOUT
// on the Internet handle; WinINet has no limit on the whole request, so the
// request runs on a thread of its own that the caller stops waiting for at
// total_ms (ERROR_INTERNET_TIMEOUT). The response's body is not waited for:
// the request is done once the status line and headers are in.
struct HttpTimeouts {
    uint32_t connect_ms = 60000;
    uint32_t send_ms = 30000;
    uint32_t receive_ms = 30000;
    uint32_t total_ms = 120000;
};
bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status, const HttpTimeouts& timeouts);

}  // namespace platform
