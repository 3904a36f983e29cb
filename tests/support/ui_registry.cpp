#include "ui_registry.h"
#include "support.h"

namespace ui {

RegValue Dword(DWORD value)
{
    RegValue v;
    v.type = REG_DWORD;
    v.data.assign(reinterpret_cast<BYTE *>(&value), reinterpret_cast<BYTE *>(&value) + 4);
    return v;
}

RegValue RawText(DWORD type, const std::wstring &text)
{
    RegValue v;
    v.type = type;
    const BYTE *bytes = reinterpret_cast<const BYTE *>(text.data());
    v.data.assign(bytes, bytes + text.size() * sizeof(WCHAR));
    return v;
}

RegValue String(const std::wstring &text)
{
    return RawText(REG_SZ, std::wstring(text.c_str(), text.size() + 1));
}

std::wstring AsText(const RegValue &value)
{
    std::wstring text(reinterpret_cast<const WCHAR *>(value.data.data()),
                      value.data.size() / sizeof(WCHAR));
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

bool KeyExists(HKEY root, const std::wstring &path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

static ValueMap ValuesOf(HKEY key)
{
    ValueMap values;
    for (DWORD index = 0;; ++index) {
        WCHAR name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            break;
        RegValue value;
        value.type = type;
        value.data.resize(size);
        nameLength = 16384;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                          size ? value.data.data() : nullptr, &size) != ERROR_SUCCESS)
            break;
        value.data.resize(size);
        values[name] = value;
    }
    return values;
}

ValueMap ReadValues(HKEY root, const std::wstring &path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    ValueMap values = ValuesOf(key);
    RegCloseKey(key);
    return values;
}

bool ReadValue(HKEY root, const std::wstring &path, const std::wstring &name, RegValue *value)
{
    ValueMap values = ReadValues(root, path);
    for (auto &entry : values) {
        if (lstrcmpiW(entry.first.c_str(), name.c_str()) == 0) {
            *value = entry.second;
            return true;
        }
    }
    return false;
}

bool WriteValue(HKEY root, const std::wstring &path, const std::wstring &name, const RegValue &value)
{
    HKEY key = testsupport::CreateKey(root, path);
    if (!key) return false;
    LONG status = RegSetValueExW(key, name.c_str(), 0, value.type, value.data.data(),
                                 static_cast<DWORD>(value.data.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void DeleteValue(HKEY root, const std::wstring &path, const std::wstring &name)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
}

static void ReadTreeInto(HKEY root, const std::wstring &base, const std::wstring &relative,
                         KeyTree &tree)
{
    std::wstring path = relative.empty() ? base : base + L"\\" + relative;
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    tree[relative] = ValuesOf(key);
    std::vector<std::wstring> subkeys = testsupport::SubkeyNames(key);
    RegCloseKey(key);
    for (const std::wstring &name : subkeys)
        ReadTreeInto(root, base, relative.empty() ? name : relative + L"\\" + name, tree);
}

KeyTree ReadTree(HKEY root, const std::wstring &path)
{
    KeyTree tree;
    ReadTreeInto(root, path, L"", tree);
    return tree;
}

SavedKey::SavedKey(HKEY root, const std::wstring &path)
    : root_(root), path_(path), existed_(KeyExists(root, path)), values_(ReadValues(root, path))
{
}

SavedKey::~SavedKey() { Restore(); }

void SavedKey::Restore()
{
    if (!existed_) {
        RegDeleteTreeW(root_, path_.c_str());
        RegDeleteKeyW(root_, path_.c_str());
        return;
    }
    for (auto &entry : ReadValues(root_, path_)) {
        auto saved = values_.find(entry.first);
        if (saved == values_.end()) DeleteValue(root_, path_, entry.first);
    }
    for (auto &entry : values_) WriteValue(root_, path_, entry.first, entry.second);
}

const wchar_t ProductKey[] = L"Software\\Kalvera\\Tessmar";

ValueMap PortValues(DWORD show, DWORD groups, const std::wstring &description)
{
    return {{L"Show", Dword(show)}, {L"Groups", Dword(groups)}, {L"Description", String(description)}};
}

ValueMap ProductValues(const std::wstring &subkey)
{
    return ReadValues(HKEY_LOCAL_MACHINE, std::wstring(ProductKey) + L"\\" + subkey);
}

std::wstring SystemDirectory()
{
    WCHAR path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring CurrentDirectory()
{
    WCHAR path[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, path);
    return path;
}

std::vector<BYTE> FileBytes(const std::wstring &path)
{
    std::vector<BYTE> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    BYTE chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring &path, const std::vector<BYTE> &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

}  // namespace ui
