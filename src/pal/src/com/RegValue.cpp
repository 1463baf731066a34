#include "com/RegValue.h"

#include <vector>

namespace pal::reg {

namespace {

class KeyHolder {
public:
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder() {
        if (m_key) RegCloseKey(m_key);
    }
    HKEY* put() { return &m_key; }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

} // namespace

LONG QueryString(HKEY hRoot, LPCWSTR lpSubKey, LPCWSTR lpValueName, std::u16string& out) {
    out.clear();
    KeyHolder key;
    LONG rc = RegOpenKeyExW(hRoot, lpSubKey, 0, KEY_QUERY_VALUE, key.put());
    if (rc != ERROR_SUCCESS) return rc;

    const DWORD maxBytes = (kMaxStringChars + 1) * sizeof(WCHAR);
    // The value may change between the size query and the read (another
    // process writing the registry): retry a few times on ERROR_MORE_DATA.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = REG_NONE;
        DWORD cb = 0;
        rc = RegQueryValueExW(key.get(), lpValueName, nullptr, &type, nullptr, &cb);
        if (rc != ERROR_SUCCESS) return rc;
        if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
        if (cb > maxBytes) return ERROR_INVALID_DATA;

        // One spare unit so an unterminated value still ends in NUL.
        std::vector<WCHAR> buf(cb / sizeof(WCHAR) + 1, 0);
        DWORD cbRead = cb;
        rc = RegQueryValueExW(key.get(), lpValueName, nullptr, &type, reinterpret_cast<LPBYTE>(buf.data()), &cbRead);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) return rc;
        if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
        if (cbRead > cb) return ERROR_INVALID_DATA;

        size_t units = cbRead / sizeof(WCHAR);
        size_t len = 0;
        while (len < units && buf[len] != 0) ++len;
        out.assign(buf.data(), len);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

LONG QueryDword(HKEY hRoot, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD& out) {
    out = 0;
    KeyHolder key;
    LONG rc = RegOpenKeyExW(hRoot, lpSubKey, 0, KEY_QUERY_VALUE, key.put());
    if (rc != ERROR_SUCCESS) return rc;

    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD cb = sizeof(value);
    rc = RegQueryValueExW(key.get(), lpValueName, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &cb);
    if (rc == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || cb != sizeof(value)) return ERROR_INVALID_DATA;
    out = value;
    return ERROR_SUCCESS;
}

} // namespace pal::reg
