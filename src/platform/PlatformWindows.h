#pragma once

// Windows only: the step between the program's UTF-8 texts and paths and the
// wide Windows functions, and Windows error codes as errno values and texts.
// The program's paths use '/' on Windows too; the step to the API turns them
// into '\'. Any thread.

#include <string>
#include <string_view>

namespace corvane {

// UTF-8 text as UTF-16 for a wide Windows function (invalid UTF-8 becomes U+FFFD).
std::wstring WideText(std::string_view utf8);
// UTF-16 from a Windows function as UTF-8 (an unpaired surrogate becomes U+FFFD).
std::string Utf8Text(std::wstring_view wide);

// A path for a wide Windows function: WideText with every '/' made '\'.
std::wstring WidePath(std::string_view utf8);
// A path from a Windows function in the program's form: UTF-8, '\' made '/'.
std::string PathFromWide(std::wstring_view wide);

// The errno value that means what a GetLastError code means; EIO when none does.
int ErrnoFromWindowsError(unsigned long code);

// The system's text for a GetLastError code, with the code: "Access is denied. (error 5)".
std::string WindowsErrorText(unsigned long code);

} // namespace corvane
