// Checks, on Windows or under Wine, the icon that resources/updater_helper.rc puts into an
// executable: scripts/check-windows compiles the .rc with windres and links it into this probe,
// which then reads its own resources as Explorer would. The icon group IDI_ICON1 must hold exactly
// one image, 256x256 at 32 bits, stored as PNG, and Windows must be able to make an icon from it.
//
//   ResourceProbe.exe  runs the checks, one line each; exit code 0 when all pass

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

#pragma pack(push, 2)
// The layout of an RT_GROUP_ICON resource, which windows.h does not declare.
struct GroupIconHeader
{
    WORD reserved;
    WORD type;
    WORD count;
};
struct GroupIconEntry
{
    BYTE width;
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInResource;
    WORD id;
};
#pragma pack(pop)

class Checks
{
public:
    void check(bool passed, const std::string &what)
    {
        std::printf("%s %s\n", passed ? "PASS" : "FAIL", what.c_str());
        std::fflush(stdout);
        if (!passed)
            ++failures;
    }
    int failures = 0;
};

bool loadResource(LPCWSTR name, LPCWSTR type, const BYTE *&data, DWORD &size)
{
    const HRSRC found = FindResourceW(nullptr, name, type);
    if (!found)
        return false;
    const HGLOBAL loaded = LoadResource(nullptr, found);
    if (!loaded)
        return false;
    data = static_cast<const BYTE *>(LockResource(loaded));
    size = SizeofResource(nullptr, found);
    return data != nullptr;
}

std::uint32_t bigEndian(const BYTE *bytes)
{
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16
            | std::uint32_t(bytes[2]) << 8 | std::uint32_t(bytes[3]);
}

} // namespace

int main()
{
    Checks checks;

    const BYTE *group = nullptr;
    DWORD groupSize = 0;
    const bool haveGroup = loadResource(L"IDI_ICON1", RT_GROUP_ICON, group, groupSize);
    checks.check(haveGroup, "icon group IDI_ICON1 present");
    if (!haveGroup)
        return 1;

    GroupIconHeader header;
    std::memset(&header, 0, sizeof(header));
    if (groupSize >= sizeof(header))
        std::memcpy(&header, group, sizeof(header));
    const bool oneImage = header.type == 1 && header.count == 1
            && groupSize >= sizeof(header) + sizeof(GroupIconEntry);
    checks.check(oneImage,
                 "the group holds exactly one image (" + std::to_string(header.count) + ")");
    if (!oneImage)
        return 1;

    GroupIconEntry entry;
    std::memcpy(&entry, group + sizeof(header), sizeof(entry));
    // A width or height byte of 0 stands for 256.
    checks.check(entry.width == 0 && entry.height == 0 && entry.bitCount == 32,
                 "directory entry says 256x256 at 32 bits (" + std::to_string(entry.width) + "x"
                         + std::to_string(entry.height) + ", " + std::to_string(entry.bitCount)
                         + " bits)");

    const BYTE *image = nullptr;
    DWORD imageSize = 0;
    const bool haveImage = loadResource(MAKEINTRESOURCEW(entry.id), RT_ICON, image, imageSize);
    static const BYTE pngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const bool isPng = haveImage && imageSize >= 24
            && std::memcmp(image, pngSignature, sizeof(pngSignature)) == 0
            && std::memcmp(image + 12, "IHDR", 4) == 0;
    const std::uint32_t width = isPng ? bigEndian(image + 16) : 0;
    const std::uint32_t height = isPng ? bigEndian(image + 20) : 0;
    checks.check(isPng && width == 256 && height == 256 && imageSize == entry.bytesInResource,
                 "the image is a PNG of " + std::to_string(width) + "x" + std::to_string(height)
                         + ", " + std::to_string(imageSize) + " bytes");
    if (!isPng)
        return 1;

    const int chosen = LookupIconIdFromDirectoryEx(const_cast<BYTE *>(group), TRUE, 256, 256,
                                                   LR_DEFAULTCOLOR);
    checks.check(chosen == entry.id, "Windows picks that image for a 256x256 icon");

    const HICON icon = CreateIconFromResourceEx(const_cast<BYTE *>(image), imageSize, TRUE,
                                                0x00030000, 256, 256, LR_DEFAULTCOLOR);
    int iconWidth = 0;
    int iconHeight = 0;
    if (icon) {
        ICONINFO info;
        if (GetIconInfo(icon, &info)) {
            BITMAP bitmap;
            if (GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap)) {
                iconWidth = bitmap.bmWidth;
                iconHeight = bitmap.bmHeight;
            }
            if (info.hbmColor)
                DeleteObject(info.hbmColor);
            if (info.hbmMask)
                DeleteObject(info.hbmMask);
        }
        DestroyIcon(icon);
    }
    checks.check(iconWidth == 256 && iconHeight == 256,
                 "Windows decodes it into a " + std::to_string(iconWidth) + "x"
                         + std::to_string(iconHeight) + " icon");

    return checks.failures == 0 ? 0 : 1;
}
