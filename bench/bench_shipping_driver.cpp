// Measures the launcher's own log shipping in-process, for
// bench/bench_shipping.py:
//   bench_shipping_driver upload FILE HOST URL   one upload_log_file call
//   bench_shipping_driver sweep FOLDER HOST URL  one ship_logs call
// Prints one line of JSON: the result, the wall time in seconds and the peak
// resident memory the call added to the process, in bytes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "util.h"

namespace {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
long long status_bytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':') {
            return std::stoll(line.substr(length + 1)) * 1024;
        }
    }
    return -1;
}

// Starts a new peak: the kernel's high-water mark drops to the current size.
bool reset_peak_memory() {
    std::ofstream clear_refs("/proc/self/clear_refs");
    clear_refs << "5";
    return static_cast<bool>(clear_refs.flush());
}

// One small post first, so that the HTTP library's one-time set-up is not
// counted against the call being measured.
void warm_up(const std::wstring& host, const std::wstring& url) {
    const uint8_t empty_frame[] = {0xF0, 0, 0, 0, 0, 0x11, 0, 0};
    http_post(host, url, empty_frame, sizeof empty_frame);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || (std::strcmp(argv[1], "upload") != 0 && std::strcmp(argv[1], "sweep") != 0)) {
        std::fprintf(stderr, "usage: %s upload FILE HOST URL | sweep FOLDER HOST URL\n", argv[0]);
        return 2;
    }
    const bool sweep = std::strcmp(argv[1], "sweep") == 0;
    const std::wstring target = platform::utf8_to_wide(argv[2]);
    const std::wstring host = platform::utf8_to_wide(argv[3]);
    const std::wstring url = platform::utf8_to_wide(argv[4]);

    warm_up(host, url);
    const long long rss_before = status_bytes("VmRSS");
    const bool peak_known = reset_peak_memory();

    const auto start = std::chrono::steady_clock::now();
    const int result = sweep ? ship_logs(url, target, host) : upload_log_file(target, host, url);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    const long long peak = peak_known ? status_bytes("VmHWM") - rss_before : -1;
    std::printf("{\"result\": %d, \"seconds\": %.6f, \"peak_added_bytes\": %lld, "
                "\"rss_before\": %lld}\n",
                result, seconds.count(), peak, rss_before);
    return result == 0 ? 0 : 1;
}
