// Loads, on Windows or under Wine, an executable's icon as Explorer does: IDI_ICON1 from the
// file's resources, at 256x256, decoded by Windows itself. scripts/check-windows-exe checks how
// the resource is laid out; this checks that Windows can make an icon of it.
//
//   ResourceProbe.exe FILE.exe  prints the size of the decoded icon; exit code 0 when 256x256

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::puts("usage: ResourceProbe.exe FILE.exe");
        return 2;
    }
    const HMODULE file = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const HANDLE icon = file ? LoadImageW(file, L"IDI_ICON1", IMAGE_ICON, 256, 256, 0) : nullptr;
    ICONINFO info {};
    BITMAP bitmap {};
    if (icon && GetIconInfo(static_cast<HICON>(icon), &info)) {
        GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    std::printf("IDI_ICON1 decoded at %ldx%ld\n", bitmap.bmWidth, bitmap.bmHeight);
    return bitmap.bmWidth == 256 && bitmap.bmHeight == 256 ? 0 : 1;
}
