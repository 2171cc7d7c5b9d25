// A stand-in for the program in the Windows copy tool's tests.
//   marker --sleep   waits until it is ended (the program FileCopy waits for)
//   marker --exit    ends at once
//   marker ARGS...   notes "<size of its own file> ARGS..." in "<its own
//                    path>.ran" and ends: the size tells an installed copy
//                    from the old one
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--sleep") {
        Sleep(600 * 1000);
        return 0;
    }
    if (first == "--exit")
        return 0;

    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(self, GetFileExInfoStandard, &data))
        return 1;
    std::string note = std::to_string(data.nFileSizeLow);
    for (int i = 1; i < argc; ++i)
        note += std::string(" ") + argv[i];
    note += "\n";

    const std::wstring ran = std::wstring(self) + L".ran";
    const std::wstring part = ran + L".part";
    FILE* file = _wfopen(part.c_str(), L"wb");
    if (!file)
        return 1;
    std::fwrite(note.data(), 1, note.size(), file);
    std::fclose(file);
    return MoveFileExW(part.c_str(), ran.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
