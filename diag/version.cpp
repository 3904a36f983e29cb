// The driver's version, read back from its own version resource.
#include "diag/log.h"

namespace {

// VS_VERSIONINFO starts with three 16-bit words; its key follows them.
constexpr SIZE_T VersionKeyOffset = 6;

// Finds the VS_FIXEDFILEINFO after the key "VS_VERSION_INFO": it starts at
// the next 4-byte boundary after the key's terminator.
const VS_FIXEDFILEINFO *FindFixedInfo(const BYTE *resource, DWORD size)
{
    SIZE_T offset = VersionKeyOffset;
    while (offset + sizeof(WCHAR) <= size &&
           *reinterpret_cast<const WCHAR *>(resource + offset) != 0)
        offset += sizeof(WCHAR);
    offset += sizeof(WCHAR);
    offset = (offset + 3) & ~static_cast<SIZE_T>(3);
    if (offset + sizeof(VS_FIXEDFILEINFO) > size) return nullptr;
    const VS_FIXEDFILEINFO *info = reinterpret_cast<const VS_FIXEDFILEINFO *>(resource + offset);
    if (info->dwSignature != VS_FFI_SIGNATURE) return nullptr;
    return info;
}

}  // namespace

BOOL ReadDriverVersion()
{
    HMODULE module = LoadLibraryW(L"Tessmar.dll");
    if (!module) return FALSE;
    BOOL read = FALSE;
    HRSRC found = FindResourceExW(module, RT_VERSION, L"#1",
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const BYTE *resource = loaded ? static_cast<const BYTE *>(LockResource(loaded)) : nullptr;
    if (resource) {
        const VS_FIXEDFILEINFO *info = FindFixedInfo(resource, SizeofResource(module, found));
        if (info) {
            DWORD a = HIWORD(info->dwProductVersionMS), b = LOWORD(info->dwProductVersionMS);
            DWORD c = HIWORD(info->dwProductVersionLS), d = LOWORD(info->dwProductVersionLS);
            FormatTextWF(VersionText, sizeof VersionText / sizeof VersionText[0], L"%d.%d.%d.%d",
                         a, b, c, d);
            DriverVersion = (a & 0xFF) << 24 | (b & 0xFF) << 16 | (c & 0xFF) << 8 | (d & 0xFF);
            read = TRUE;
        }
    }
    FreeLibrary(module);
    return read;
}
