// One HTTP request through libcurl, shaped like the WinINet request the
// launcher makes on Windows: the same verb, object path, agent, extra headers
// and body; the system's proxy settings; WinINet's default time-outs; one
// connection per request; the response read and dropped; failures reported as
// WinINet error codes.
//
// libcurl and the many libraries it needs are loaded at the first request
// only: most runs never upload anything before their exit, and loading them
// at start-up would cost more than half the interpreter's own start.
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "platform/http.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr char kAgent[] = "agent";
constexpr uint32_t kUnrecognizedScheme = 12006;

// The UTF-8 form of a wide string; empty for a null one.
std::string utf8(const wchar_t* text) {
    if (text == nullptr) return std::string();
    const int size = wide_to_utf8(text, nullptr, 0);
    if (size <= 1) return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    if (wide_to_utf8(text, &out[0], size) == 0) return std::string();
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

// The request target: the object as configured, a "/" put in front when it
// has none, and the bytes that cannot stand in a request line (controls,
// blanks, non-ASCII) and "#" percent-encoded. Everything else goes verbatim.
std::string request_target(const std::string& object) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string target;
    if (object.empty() || object[0] != '/') target += '/';
    for (unsigned char c : object) {
        if (c <= 0x20 || c >= 0x7F || c == '#') {
            target += '%';
            target += kHex[c >> 4];
            target += kHex[c & 0x0F];
        } else {
            target += static_cast<char>(c);
        }
    }
    return target;
}

// A host name that would change the meaning of the URL around it (a path,
// a user name, a fragment) names no host at all.
bool is_plain_host(const std::string& host) {
    return std::none_of(host.begin(), host.end(), [](unsigned char c) {
        return c <= 0x20 || c == '/' || c == '\\' || c == '?' || c == '#' || c == '@';
    });
}

std::string request_url(const std::string& host, uint16_t port, const std::string& object) {
    const bool ipv6_literal = host.find(':') != std::string::npos && host[0] != '[';
    const std::string authority = ipv6_literal ? "[" + host + "]" : host;
    return "http://" + authority + ":" + std::to_string(port) + request_target(object);
}

// The extra header text, one header per line feed, as curl takes it. A
// carriage return before a line feed is dropped with it.
// The libcurl functions in use, looked up in the library once it is loaded.
struct CurlLibrary {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL* handle);
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
    CURLcode (*easy_perform)(CURL* handle);
    curl_slist* (*slist_append)(curl_slist* list, const char* text);
    void (*slist_free_all)(curl_slist* list);
};

template <typename Function>
bool look_up(void* library, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(dlsym(library, name));
    return *function != nullptr;
}

// Loads libcurl and does its process-wide set-up, once; null when either
// fails. The library stays loaded for the rest of the process.
const CurlLibrary* load_curl() {
    static CurlLibrary curl;
    static const bool loaded = [] {
        void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return false;
        const bool complete = look_up(library, "curl_global_init", &curl.global_init) &&
                              look_up(library, "curl_easy_init", &curl.easy_init) &&
                              look_up(library, "curl_easy_cleanup", &curl.easy_cleanup) &&
                              look_up(library, "curl_easy_setopt", &curl.easy_setopt) &&
                              look_up(library, "curl_easy_getinfo", &curl.easy_getinfo) &&
                              look_up(library, "curl_easy_perform", &curl.easy_perform) &&
                              look_up(library, "curl_slist_append", &curl.slist_append) &&
                              look_up(library, "curl_slist_free_all", &curl.slist_free_all);
        return complete && curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    }();
    return loaded ? &curl : nullptr;
}

// The loaded library; only for code that runs after load_curl succeeded.
const CurlLibrary& curl_api() { return *load_curl(); }

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_api().slist_free_all(list); }
    bool add(const std::string& line) {
        curl_slist* extended = curl_api().slist_append(list, line.c_str());
        if (extended == nullptr) return false;
        list = extended;
        return true;
    }
};

bool add_extra_headers(const std::string& text, HeaderList* headers) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && !headers->add(line)) return false;
        start = end + 1;
    }
    // WinINet sends the body at once; curl would first ask for leave.
    return headers->add("Expect:");
}

// The first piece of the body ends the transfer: the status line and the
// headers are in, which is all WinINet's send waits for, and a server that
// sends its body slowly holds nothing up.
size_t stop_at_body(char*, size_t, size_t, void*) { return 0; }

// Whether the final response's status line and all its headers are in: the
// blank line after the headers of a status of 200 or more (1xx answers are
// interim and have their own blank line).
struct ResponseHead {
    bool final_status = false;
    bool complete = false;

    static size_t on_header(char* line, size_t size, size_t count, void* head) {
        static_cast<ResponseHead*>(head)->see(std::string(line, size * count));
        return size * count;
    }

private:
    void see(const std::string& line) {
        if (line.compare(0, 5, "HTTP/") == 0) {
            const size_t blank = line.find(' ');
            final_status = blank != std::string::npos && line.size() > blank + 1 &&
                           line[blank + 1] >= '2' && line[blank + 1] <= '9';
        } else if (line == "\r\n" || line == "\n") {
            complete = complete || final_status;
        }
    }
};

uint32_t wininet_error_from_curl(CURLcode code) {
    switch (code) {
        case CURLE_OK: return error_code::kSuccess;
        case CURLE_UNSUPPORTED_PROTOCOL: return kUnrecognizedScheme;
        case CURLE_URL_MALFORMAT: return error_code::kInternetInvalidUrl;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST: return error_code::kInternetNameNotResolved;
        case CURLE_COULDNT_CONNECT: return error_code::kInternetCannotConnect;
        case CURLE_OPERATION_TIMEDOUT: return error_code::kInternetTimeout;
        case CURLE_SEND_ERROR: return error_code::kInternetConnectionAborted;
        case CURLE_RECV_ERROR: return error_code::kInternetConnectionReset;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY: return error_code::kHttpInvalidServerResponse;
        case CURLE_OUT_OF_MEMORY: return error_code::kNotEnoughMemory;
        default: return error_code::kInternetInternalError;
    }
}

struct EasyHandle {
    explicit EasyHandle(const CurlLibrary& library) : curl(library), handle(curl.easy_init()) {}
    ~EasyHandle() {
        if (handle != nullptr) curl.easy_cleanup(handle);
    }
    const CurlLibrary& curl;
    CURL* handle;
};

// WinINet gives up on a send or a receive that makes no progress for its
// time-out. curl watches the whole exchange; this watches each direction:
// once connected, while the body goes out the send time-out applies, after
// that the receive time-out.
class StallWatch {
public:
    StallWatch(CURL* curl, const HttpTimeouts& timeouts) : curl_(curl), timeouts_(timeouts) {}

    bool stalled() const { return stalled_; }

    static int on_progress(void* watch, curl_off_t, curl_off_t received, curl_off_t to_send,
                           curl_off_t sent) {
        return static_cast<StallWatch*>(watch)->check(received, sent < to_send, sent) ? 1 : 0;
    }

private:
    using Clock = std::chrono::steady_clock;

    // true when the transfer is to be given up.
    bool check(curl_off_t received, bool sending, curl_off_t sent) {
        const Clock::time_point now = Clock::now();
        curl_off_t connect_time = 0;
        curl_api().easy_getinfo(curl_, CURLINFO_CONNECT_TIME_T, &connect_time);
        const bool connected = connect_time > 0 || sent > 0 || received > 0;
        if (!connected || received != received_ || sent != sent_ ||
            sending != sending_) {
            received_ = received;
            sent_ = sent;
            sending_ = sending;
            last_progress_ = now;
            return false;
        }
        const uint32_t limit_ms = sending ? timeouts_.send_ms : timeouts_.receive_ms;
        stalled_ = now - last_progress_ >= std::chrono::milliseconds(limit_ms);
        return stalled_;
    }

    CURL* curl_;
    HttpTimeouts timeouts_;
    Clock::time_point last_progress_ = Clock::now();
    curl_off_t received_ = -1;
    curl_off_t sent_ = -1;
    bool sending_ = true;
    bool stalled_ = false;
};

// Sets every option of the request; false when curl refuses one.
bool configure(CURL* curl, const std::string& url, const std::string& verb,
               const HeaderList& headers, const void* body, uint32_t body_length,
               const HttpTimeouts& timeouts, StallWatch* watch, ResponseHead* head) {
    static const char kEmptyBody[] = "";
    const void* data = body != nullptr ? body : kEmptyBody;
    const auto set = curl_api().easy_setopt;
    bool ok = set(curl, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_USERAGENT, kAgent) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_HTTPHEADER, headers.list) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_POST, 1L) == CURLE_OK;
    if (verb != "POST") {
        ok = ok && set(curl, CURLOPT_CUSTOMREQUEST, verb.c_str()) == CURLE_OK;
    }
    ok = ok && set(curl, CURLOPT_POSTFIELDS, data) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                                static_cast<curl_off_t>(body_length)) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_WRITEFUNCTION, stop_at_body) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_HEADERFUNCTION, ResponseHead::on_header) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_HEADERDATA, head) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_CONNECTTIMEOUT_MS,
                                static_cast<long>(timeouts.connect_ms)) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total_ms)) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_XFERINFOFUNCTION, StallWatch::on_progress) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_XFERINFODATA, watch) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK;
    ok = ok && set(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    return ok;
}

// Runs the request. 0 when a response arrived, its status in *status;
// otherwise the WinINet code of the failure, never 0.
uint32_t perform_request(const std::string& url, const std::string& verb,
                         const std::string& header_text, const void* body, uint32_t body_length,
                         const HttpTimeouts& timeouts, uint32_t* status) {
    const CurlLibrary* curl = load_curl();
    if (curl == nullptr) return error_code::kInternetInternalError;
    EasyHandle easy(*curl);
    if (easy.handle == nullptr) return error_code::kInternetInternalError;
    HeaderList headers;
    if (!add_extra_headers(header_text, &headers)) return error_code::kNotEnoughMemory;
    StallWatch watch(easy.handle, timeouts);
    ResponseHead head;
    if (!configure(easy.handle, url, verb, headers, body, body_length, timeouts, &watch, &head)) {
        return error_code::kInternetInternalError;
    }

    const CURLcode result = curl->easy_perform(easy.handle);
    long response_code = 0;
    curl->easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &response_code);
    // The status line and headers are what WinINet waits for; the transfer
    // ends at the body, so its write error still leaves a response that
    // arrived. A time-out in the middle of the headers leaves none.
    if (response_code > 0 && head.complete) {
        *status = static_cast<uint32_t>(response_code);
        return error_code::kSuccess;
    }
    if (watch.stalled()) return error_code::kInternetTimeout;
    const uint32_t code = wininet_error_from_curl(result);
    return code != 0 ? code : error_code::kHttpInvalidServerResponse;
}

}  // namespace

bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status) {
    return send_http_request(host, port, verb, object, headers, body, body_length, status,
                             HttpTimeouts());
}

bool send_http_request(const wchar_t* host, uint16_t port, const wchar_t* verb,
                       const wchar_t* object, const wchar_t* headers, const void* body,
                       uint32_t body_length, uint32_t* status, const HttpTimeouts& timeouts) {
    uint32_t response_status = 0;
    const std::string host_name = utf8(host);
    uint32_t code = error_code::kInternetNameNotResolved;
    if (is_plain_host(host_name)) {
        code = perform_request(request_url(host_name, port, utf8(object)), utf8(verb),
                               utf8(headers), body, body_length, timeouts, &response_status);
    }
    // Set only now, after curl's handles are gone, so nothing overwrites it.
    if (code != error_code::kSuccess) {
        set_last_error(code);
        return false;
    }
    if (status != nullptr) *status = response_status;
    return true;
}

}  // namespace platform
