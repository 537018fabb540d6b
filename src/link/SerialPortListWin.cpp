// The COM ports of a Windows machine: the devices of SetupAPI's port class
// with their friendly names, then the SERIALCOMM map and the DOS device
// names (where Wine's mapped ports appear), and the FTDI driver's settings.
#include "link/ComWin.h"
#include "link/SerialPortList.h"

#include <algorithm>
#include <cwctype>
#include <map>

#include <setupapi.h>

namespace {

// GUID_DEVINTERFACE_COMPORT and GUID_DEVCLASS_PORTS, spelt out so no
// INITGUID translation unit is needed.
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr const wchar_t kFtdiBus[] = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

// The number of a name COMn, or 0 when it is none.
unsigned ComNumber(const std::string& name)
{
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0)
        return 0;
    unsigned n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + unsigned(name[i] - '0');
    }
    return n;
}

// A string value of an open key; empty when absent or not a string.
std::wstring StringValue(HKEY key, const wchar_t* name)
{
    wchar_t text[256] = {};
    DWORD type = 0;
    DWORD size = sizeof text - sizeof(wchar_t);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    return text;
}

class CRegKey {
public:
    CRegKey(HKEY parent, const std::wstring& path)
    {
        if (::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &m_hKey) != ERROR_SUCCESS)
            m_hKey = nullptr;
    }
    explicit CRegKey(HKEY key) : m_hKey(key == INVALID_HANDLE_VALUE ? nullptr : key) {}
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey()
    {
        if (m_hKey != nullptr)
            ::RegCloseKey(m_hKey);
    }
    HKEY Get() const { return m_hKey; }
    explicit operator bool() const { return m_hKey != nullptr; }
    // The names of the subkeys.
    std::vector<std::wstring> Children() const
    {
        std::vector<std::wstring> names;
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD size = DWORD(std::size(name));
            if (::RegEnumKeyExW(m_hKey, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, size);
        }
        return names;
    }

private:
    HKEY m_hKey = nullptr;
};

using PortMap = std::map<unsigned, CComPortInfo>;

CComPortInfo& Port(PortMap& ports, const std::string& name)
{
    CComPortInfo& port = ports[ComNumber(name)];
    port.name = name;
    return port;
}

bool IsFtdiHardwareId(std::wstring ids)
{
    // A multi-string such as FTDIBUS\COMPORT&VID_0403&PID_6001 or USB\VID_0403&PID_6001.
    std::transform(ids.begin(), ids.end(), ids.begin(), [](wchar_t c) { return wchar_t(std::towupper(c)); });
    return ids.find(L"VID_0403") != std::wstring::npos || ids.find(L"FTDIBUS") != std::wstring::npos;
}

void AddSetupApiPorts(const GUID& guid, DWORD flags, PortMap& ports)
{
    const HDEVINFO set = ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        CRegKey key(::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
        const std::string name = key ? com::PortName(com::Narrow(StringValue(key.Get(), L"PortName"))) : "";
        if (ComNumber(name) == 0)
            continue;
        CComPortInfo& port = Port(ports, name);
        wchar_t text[1024] = {};
        if (::SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                                reinterpret_cast<BYTE*>(text),
                                                sizeof text - 2 * sizeof(wchar_t), nullptr))
            port.friendlyName = com::Narrow(text);
        std::fill(std::begin(text), std::end(text), L'\0');
        if (::SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr,
                                                reinterpret_cast<BYTE*>(text),
                                                sizeof text - 2 * sizeof(wchar_t), nullptr)) {
            // The multi-string's parts, joined for the search.
            std::wstring ids;
            for (const wchar_t* p = text; *p != L'\0'; p += std::wcslen(p) + 1)
                ids += std::wstring(p) + L";";
            port.ftdi = port.ftdi || IsFtdiHardwareId(ids);
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
}

void AddSerialCommPorts(PortMap& ports)
{
    CRegKey key(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM");
    if (!key)
        return;
    wchar_t name[256];
    wchar_t data[256];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = DWORD(std::size(name));
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        std::fill(std::begin(data), std::end(data), L'\0');
        if (::RegEnumValueW(key.Get(), i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data),
                            &dataSize) != ERROR_SUCCESS)
            break;
        const std::string port = com::PortName(com::Narrow(data));
        if (type == REG_SZ && ComNumber(port) != 0 && ports.count(ComNumber(port)) == 0)
            Port(ports, port);
    }
}

void AddDosDevicePorts(PortMap& ports)
{
    // Every DOS device name, NUL-separated; grown until it fits.
    std::vector<wchar_t> names(65536);
    DWORD n = 0;
    while ((n = ::QueryDosDeviceW(nullptr, names.data(), DWORD(names.size()))) == 0 &&
           ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 22))
        names.resize(names.size() * 2);
    for (DWORD i = 0; i < n && names[i] != L'\0'; i += DWORD(std::wcslen(&names[i])) + 1) {
        const std::string port = com::PortName(com::Narrow(&names[i]));
        if (ComNumber(port) != 0 && ports.count(ComNumber(port)) == 0)
            Port(ports, port);
    }
}

// The FTDI driver keeps each bridge's settings under its instance key,
// FTDIBUS\<ids>\<instance>\Device Parameters, with the port it was given.
void AddFtdiSettings(PortMap& ports)
{
    CRegKey bus(HKEY_LOCAL_MACHINE, kFtdiBus);
    if (!bus)
        return;
    for (const std::wstring& ids : bus.Children()) {
        CRegKey device(bus.Get(), ids);
        for (const std::wstring& instance : device.Children()) {
            CRegKey params(device.Get(), instance + L"\\Device Parameters");
            if (!params)
                continue;
            const std::string name = com::PortName(com::Narrow(StringValue(params.Get(), L"PortName")));
            const auto it = ports.find(ComNumber(name));
            if (ComNumber(name) == 0 || it == ports.end())
                continue; // a bridge that is not attached now
            it->second.ftdi = true;
            DWORD latency = 0;
            DWORD type = 0;
            DWORD size = sizeof latency;
            if (::RegQueryValueExW(params.Get(), L"LatencyTimer", nullptr, &type,
                                   reinterpret_cast<BYTE*>(&latency), &size) == ERROR_SUCCESS &&
                type == REG_DWORD && latency <= 255)
                it->second.latencyMs = int(latency);
        }
    }
}

} // namespace

std::vector<CComPortInfo> ListComPorts()
{
    PortMap ports;
    AddSetupApiPorts(kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, ports);
    AddSetupApiPorts(kPortsClass, DIGCF_PRESENT, ports);
    AddSerialCommPorts(ports);
    AddDosDevicePorts(ports);
    AddFtdiSettings(ports);
    std::vector<CComPortInfo> list;
    for (auto& [number, port] : ports)
        list.push_back(std::move(port));
    return list;
}

std::vector<std::string> ListSerialPorts()
{
    std::vector<std::string> names;
    for (const CComPortInfo& port : ListComPorts())
        names.push_back(port.name);
    return names;
}
