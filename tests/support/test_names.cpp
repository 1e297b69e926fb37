#include "test_names.h"

#include <windows.h>

namespace ribex_test {

std::wstring UniqueName(const std::wstring &prefix) {
    static LONG counter = 0;
    LONG n = InterlockedIncrement(&counter);
    return prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(n) +
           L"-" + std::to_wstring(GetTickCount());
}

std::wstring Widen(const std::string &s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
    return w;
}

std::string Narrow(const std::wstring &w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

}  // namespace ribex_test
