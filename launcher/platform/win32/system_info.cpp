// Time, operating-system version and processor architecture.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

void get_system_time(SystemTime* time) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    time->year = now.wYear;
    time->month = now.wMonth;
    time->day_of_week = now.wDayOfWeek;
    time->day = now.wDay;
    time->hour = now.wHour;
    time->minute = now.wMinute;
    time->second = now.wSecond;
    time->milliseconds = now.wMilliseconds;
}

bool get_os_version(OsVersion* version) {
    OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
    version->major_version = info.dwMajorVersion;
    version->minor_version = info.dwMinorVersion;
    version->suite_mask = info.wSuiteMask;
    version->product_type = info.wProductType;
    return true;
}

bool get_native_processor_architecture(uint16_t* architecture) {
    using GetNativeSystemInfoFunction = void(WINAPI*)(SYSTEM_INFO*);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) return false;
    FARPROC found = GetProcAddress(kernel32, "GetNativeSystemInfo");
    if (found == nullptr) return false;
    // Through the generic function pointer type, which converts to any other.
    auto get_native_system_info = reinterpret_cast<GetNativeSystemInfoFunction>(
        reinterpret_cast<void (*)()>(found));
    SYSTEM_INFO info;
    ZeroMemory(&info, sizeof info);
    get_native_system_info(&info);
    *architecture = info.wProcessorArchitecture;
    return true;
}

uint16_t get_processor_architecture() {
    SYSTEM_INFO info;
    ZeroMemory(&info, sizeof info);
    GetSystemInfo(&info);
    return info.wProcessorArchitecture;
}

}  // namespace platform
