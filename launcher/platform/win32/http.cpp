// One HTTP request through WinINet.
//
// WinINet is loaded at the first request only, from the system folder: a run
// ships its logs at exit, if at all, and loading the library at start-up
// would cost every run its time.
//
// WinINet bounds each connect, send and receive, but not the whole request:
// a server that answers a byte at a time would hold the exit for good. The
// request therefore runs on a thread of its own, and the caller waits for it
// until the total deadline at most. At the deadline the caller closes the
// request handle, which makes WinINet give the request up, and returns; the
// thread ends on its own, and owns copies of everything it uses.
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error_codes.h"
#include "platform/http.h"

namespace platform {

namespace {

constexpr DWORD_PTR kContext = 1;

// The WinINet functions in use, looked up once the library is loaded.
struct WinInet {
    decltype(&InternetOpenW) open;
    decltype(&InternetSetOptionW) set_option;
    decltype(&InternetConnectW) connect;
    decltype(&HttpOpenRequestW) open_request;
    decltype(&HttpSendRequestW) send_request;
    decltype(&HttpQueryInfoW) query_info;
    decltype(&InternetCloseHandle) close_handle;
};

template <typename Function>
bool look_up(HMODULE library, const char* name, Function* function) {
    // Through the generic function pointer type, which converts to any other.
    *function = reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
    return *function != nullptr;
}

HMODULE load_system_library(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    return LoadLibraryW((std::wstring(folder) + L"\\" + name).c_str());
}

// Loads WinINet once; null (the last error set) when it cannot be had. The
// library stays loaded for the rest of the process.
const WinInet* load_wininet() {
    static WinInet api;
    static const DWORD failure = [] {
        HMODULE library = load_system_library(L"wininet.dll");
        if (library == nullptr) return GetLastError() != 0 ? GetLastError() : DWORD{126};
        const bool complete = look_up(library, "InternetOpenW", &api.open) &&
                              look_up(library, "InternetSetOptionW", &api.set_option) &&
                              look_up(library, "InternetConnectW", &api.connect) &&
                              look_up(library, "HttpOpenRequestW", &api.open_request) &&
                              look_up(library, "HttpSendRequestW", &api.send_request) &&
                              look_up(library, "HttpQueryInfoW", &api.query_info) &&
                              look_up(library, "InternetCloseHandle", &api.close_handle);
        return complete ? DWORD{0} : DWORD{ERROR_PROC_NOT_FOUND};
    }();
    if (failure == 0) return &api;
    SetLastError(failure);
    return nullptr;
}

// The code of the call that just failed, never 0.
DWORD failure_code() {
    DWORD code = GetLastError();
    return code != 0 ? code : error_code::kInternetInternalError;
}

// A request as its thread runs it, shared by that thread and the caller.
struct Request {
    // The inputs, copied: the thread may outlive the call.
    std::wstring host;
    uint16_t port = 0;
    std::wstring verb;
    std::wstring object;
    std::wstring headers;
    std::vector<uint8_t> body;
    HttpTimeouts timeouts;

    std::mutex mutex;
    std::condition_variable finished;
    // Under the mutex: the open request handle, closed by exactly one side,
    // the thread when it finishes in time, else the caller at the deadline.
    HINTERNET handle = nullptr;
    bool done = false;
    bool abandoned = false;
    DWORD code = 0;
    uint32_t status = 0;
};

// An open WinINet handle of the thread, closed by its destructor. Declared in
// the order the chain is opened, the handles close newest first.
class InternetHandle {
public:
    InternetHandle(const WinInet& api, HINTERNET handle) : api_(api), handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr) api_.close_handle(handle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    const WinInet& api_;
    HINTERNET handle_;
};

// The response's status line, read back as a number; 0 when it is missing.
uint32_t response_status(const WinInet& api, HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!api.query_info(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr)) {
        return 0;
    }
    return status;
}

// The time-outs are set on the Internet handle and on the request. They are
// always set: the defaults are WinINet's documented ones, which not every
// WinINet applies by itself (Wine's waits for a silent server without end).
bool set_timeouts(const WinInet& api, HINTERNET handle, const HttpTimeouts& timeouts) {
    const struct {
        DWORD option;
        DWORD milliseconds;
    } settings[] = {{INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connect_ms},
                    {INTERNET_OPTION_SEND_TIMEOUT, timeouts.send_ms},
                    {INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receive_ms}};
    for (const auto& setting : settings) {
        DWORD value = setting.milliseconds;
        if (!api.set_option(handle, setting.option, &value, sizeof value)) return false;
    }
    return true;
}

// Publishes the request handle; false when the caller has given up already.
bool publish_handle(Request& request, HINTERNET handle) {
    std::lock_guard<std::mutex> lock(request.mutex);
    if (request.abandoned) return false;
    request.handle = handle;
    return true;
}

// Sends the request and waits for the status line and headers (the body is
// not waited for): 0 when they arrived, otherwise the code of the call that
// failed, taken before the handles close.
DWORD send(const WinInet& api, Request& request, uint32_t* status) {
    InternetHandle internet(
        api, api.open(L"agent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet) return failure_code();
    if (!set_timeouts(api, internet.get(), request.timeouts)) return failure_code();
    InternetHandle connection(
        api, api.connect(internet.get(), request.host.c_str(), request.port, nullptr, nullptr,
                         INTERNET_SERVICE_HTTP, 0, kContext));
    if (!connection) return failure_code();
    // A redirect is an answer of its own: its status decides about the log.
    HINTERNET handle = api.open_request(connection.get(), request.verb.c_str(),
                                        request.object.c_str(), nullptr, nullptr, nullptr,
                                        INTERNET_FLAG_NO_AUTO_REDIRECT, kContext);
    if (handle == nullptr) return failure_code();
    if (!publish_handle(request, handle)) {
        api.close_handle(handle);
        return error_code::kInternetTimeout;
    }
    if (!set_timeouts(api, handle, request.timeouts)) return failure_code();
    void* body = request.body.empty() ? nullptr : request.body.data();
    if (!api.send_request(handle, request.headers.c_str(),
                          static_cast<DWORD>(request.headers.size()), body,
                          static_cast<DWORD>(request.body.size()))) {
        return failure_code();
    }
    *status = response_status(api, handle);
    return 0;
}

// The request's thread: sends, then hands over the outcome and closes the
// request handle, unless the caller has closed it at the deadline.
void run_request(const WinInet& api, const std::shared_ptr<Request>& request) {
    uint32_t status = 0;
    const DWORD code = send(api, *request, &status);
    std::lock_guard<std::mutex> lock(request->mutex);
    if (request->handle != nullptr) {
        api.close_handle(request->handle);
        request->handle = nullptr;
    }
    request->code = code;
    request->status = status;
    request->done = true;
    request->finished.notify_all();
}

// Waits for the request until the deadline: its outcome, or at the deadline
// ERROR_INTERNET_TIMEOUT with the request handle closed.
DWORD wait_for(const std::shared_ptr<Request>& request, const WinInet& api, uint32_t* status) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(request->timeouts.total_ms);
    std::unique_lock<std::mutex> lock(request->mutex);
    if (request->finished.wait_until(lock, deadline, [&] { return request->done; })) {
        *status = request->status;
        return request->code;
    }
    request->abandoned = true;
    if (request->handle != nullptr) {
        api.close_handle(request->handle);
        request->handle = nullptr;
    }
    return error_code::kInternetTimeout;
}

}  // namespace

bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status, const HttpTimeouts& timeouts) {
    const WinInet* api = load_wininet();
    if (api == nullptr) return false;

    DWORD code = 0;
    uint32_t response = 0;
    try {
        auto request = std::make_shared<Request>();
        request->host = host;
        request->port = port;
        request->verb = verb;
        request->object = object;
        request->headers = headers;
        const auto* bytes = static_cast<const uint8_t*>(body);
        if (body_length > 0) request->body.assign(bytes, bytes + body_length);
        request->timeouts = timeouts;
        std::thread([api, request] { run_request(*api, request); }).detach();
        code = wait_for(request, *api, &response);
    } catch (const std::exception&) {
        code = ERROR_NOT_ENOUGH_MEMORY;  // no copy or no thread could be had
    }
    if (code != 0) {
        SetLastError(code);
        return false;
    }
    if (status != nullptr) *status = response;
    return true;
}

bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status) {
    return send_http_request(host, port, verb, object, headers, body, body_length, status,
                             HttpTimeouts());
}

}  // namespace platform
