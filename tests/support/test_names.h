// Names for kernel objects that no other test run can collide with.
#pragma once

#include <string>

namespace ribex_test {

// prefix + "-" + process id + "-" + a per-process counter + "-" + tick count.
std::wstring UniqueName(const std::wstring &prefix);

// UTF-16 <-> UTF-8 for building command lines and reading output.
std::wstring Widen(const std::string &s);
std::string Narrow(const std::wstring &s);

}  // namespace ribex_test
