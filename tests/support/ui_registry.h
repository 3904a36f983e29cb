// Registry and file helpers of the installer and configurator tests: read
// values byte for byte, snapshot whole key trees, and put keys back as they
// were before a test changed them.
#pragma once

#include <windows.h>
#include <map>
#include <string>
#include <vector>

namespace ui {

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const RegValue &other) const
    {
        return type == other.type && data == other.data;
    }
};

using ValueMap = std::map<std::wstring, RegValue>;
// Every key below a root key: relative path ("" for the root) to its values.
using KeyTree = std::map<std::wstring, ValueMap>;

RegValue Dword(DWORD value);
// REG_SZ data with its terminator, as the saver writes it.
RegValue String(const std::wstring &text);
// Text data exactly as given (no terminator added).
RegValue RawText(DWORD type, const std::wstring &text);

bool KeyExists(HKEY root, const std::wstring &path);
// The values of one key; empty when the key is missing.
ValueMap ReadValues(HKEY root, const std::wstring &path);
bool ReadValue(HKEY root, const std::wstring &path, const std::wstring &name, RegValue *value);
bool WriteValue(HKEY root, const std::wstring &path, const std::wstring &name, const RegValue &value);
void DeleteValue(HKEY root, const std::wstring &path, const std::wstring &name);
KeyTree ReadTree(HKEY root, const std::wstring &path);
// The string data of a REG_SZ value, without its terminator.
std::wstring AsText(const RegValue &value);

// Saves a key's values (and whether it existed) and puts them back when it
// goes out of scope; values added meanwhile are removed.
class SavedKey {
public:
    SavedKey(HKEY root, const std::wstring &path);
    ~SavedKey();
    void Restore();

private:
    HKEY root_;
    std::wstring path_;
    bool existed_;
    ValueMap values_;
};

// The product key and the values of one of its port subkeys.
extern const wchar_t ProductKey[];  // "Software\\Kalvera\\Tessmar"
ValueMap PortValues(DWORD show, DWORD groups, const std::wstring &description);
ValueMap ProductValues(const std::wstring &subkey);

std::wstring SystemDirectory();
std::wstring CurrentDirectory();
std::vector<BYTE> FileBytes(const std::wstring &path);
bool WriteFileBytes(const std::wstring &path, const std::vector<BYTE> &bytes);

}  // namespace ui
