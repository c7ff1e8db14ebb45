// One HTTP request through WinINet.
#include <windows.h>
#include <wininet.h>

#include <cwchar>

#include "platform/error_codes.h"
#include "platform/http.h"

namespace platform {

namespace {

constexpr DWORD_PTR kContext = 1;

// An open WinINet handle, closed by its destructor. Declared in the order the
// chain is opened, the handles close newest first.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr) InternetCloseHandle(handle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_;
};

// The code of the call that just failed. Closing the handles opened so far
// may change the thread's last error, so it is read before that, and a
// failure is never reported as 0.
DWORD failure_code() {
    DWORD code = GetLastError();
    return code != 0 ? code : error_code::kInternetInternalError;
}

// The response's status line, read back as a number; 0 when it is missing.
uint32_t response_status(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr)) {
        return 0;
    }
    return status;
}

// The response body is read and dropped, so that the server sees its answer
// taken before the connection closes.
void drop_response_body(HINTERNET request) {
    char buffer[4096];
    DWORD read = 0;
    while (InternetReadFile(request, buffer, sizeof buffer, &read) && read > 0) {
    }
}

// The time-outs are set on the Internet handle, and the connection and the
// request inherit them. They are always set: the defaults are WinINet's
// documented ones, which not every WinINet applies by itself (Wine's waits
// for a silent server without end).
bool set_timeouts(HINTERNET internet, const HttpTimeouts& timeouts) {
    const struct {
        DWORD option;
        DWORD milliseconds;
    } settings[] = {{INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connect_ms},
                    {INTERNET_OPTION_SEND_TIMEOUT, timeouts.send_ms},
                    {INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receive_ms}};
    for (const auto& setting : settings) {
        DWORD value = setting.milliseconds;
        if (!InternetSetOptionW(internet, setting.option, &value, sizeof value)) return false;
    }
    return true;
}

// Opens the chain, sends the request and waits for the response: 0 when one
// arrived, otherwise the code of the call that failed. The return value is
// taken before the handles close, newest first, on the way out.
DWORD run_request(const wchar_t* host, uint16_t port, const wchar_t* verb, const wchar_t* object,
                  const wchar_t* headers, const void* body, uint32_t body_length,
                  uint32_t* status, const HttpTimeouts& timeouts) {
    InternetHandle internet(
        InternetOpenW(L"agent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet) return failure_code();
    if (!set_timeouts(internet.get(), timeouts)) return failure_code();
    InternetHandle connection(InternetConnectW(internet.get(), host, port, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, kContext));
    if (!connection) return failure_code();
    InternetHandle request(HttpOpenRequestW(connection.get(), verb, object, nullptr, nullptr,
                                            nullptr, 0, kContext));
    if (!request) return failure_code();
    if (!set_timeouts(request.get(), timeouts)) return failure_code();
    if (!HttpSendRequestW(request.get(), headers, static_cast<DWORD>(std::wcslen(headers)),
                          const_cast<void*>(body), body_length)) {
        return failure_code();
    }
    *status = response_status(request.get());
    drop_response_body(request.get());
    return 0;
}

}  // namespace

bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status, const HttpTimeouts& timeouts) {
    DWORD code =
        run_request(host, port, verb, object, headers, body, body_length, status, timeouts);
    if (code == 0) return true;
    SetLastError(code);
    return false;
}

bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status) {
    return send_http_request(host, port, verb, object, headers, body, body_length, status,
                             HttpTimeouts());
}

}  // namespace platform
