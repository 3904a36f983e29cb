// Device numbering and capabilities: winmm's device identifiers are dense
// over the configured ports of one direction, in slot order.
#include "driver/driver.h"
#include "diag/log.h"

namespace {

constexpr WORD ManufacturerId = 0x0101;
constexpr WORD ProductIdDefault = 4;
constexpr WORD ProductIdNarrowOut = 15;
constexpr DWORD CapsNameLength = 32;  // szPname, terminator included

// The private port table: 127 entries, one per unit number.
constexpr DWORD PortTableEntries = 127;
constexpr DWORD PortTableNarrowSize = 10160;
constexpr DWORD PortTableNarrowEntry = 80;
constexpr DWORD PortTableWideSize = 18288;
constexpr DWORD PortTableWideEntry = 144;
constexpr DWORD PortTableNameOffset = 12;
constexpr DWORD PortTableNameMax = 64;

static_assert(PortTableEntries * PortTableNarrowEntry == PortTableNarrowSize, "narrow table");
static_assert(PortTableEntries * PortTableWideEntry == PortTableWideSize, "wide table");

DWORD DirectionBit(DWORD deviceType)
{
    if (deviceType == MidiInDevice) return DirectionInput;
    if (deviceType == MidiOutDevice) return DirectionOutput;
    return 0;
}

bool IsDevice(const Unit &unit, DWORD bit)
{
    return bit && unit.InUse && (LOWORD(unit.Direction) & bit);
}

const WCHAR *NameOf(const Unit *unit)
{
    return unit->Description ? unit->Description : L"";
}

void PutWord(BYTE *at, DWORD value) { CopyMemory(at, &value, sizeof value); }

template <typename Caps> void FillNarrowName(Caps &caps, const Unit *unit)
{
    FormatTextF(caps.szPname, CapsNameLength, "%S", NameOf(unit));
}

// The fields every record shares; the caller adds the name and the rest.
template <typename Caps> Caps CapsWithIdentity(WORD productId)
{
    Caps caps = {};
    caps.wMid = ManufacturerId;
    caps.wPid = productId;
    caps.vDriverVersion = DriverVersion;
    return caps;
}

// The record goes to a zeroed client buffer of the whole given size.
template <typename Caps> void Deliver(void *client, DWORD size, const Caps &caps)
{
    ZeroMemory(client, size);
    CopyMemory(client, &caps, sizeof caps);
}

DWORD OutputCaps(const Unit *unit, void *client, DWORD size)
{
    if (size >= sizeof(MIDIOUTCAPSW)) {
        MIDIOUTCAPSW caps = CapsWithIdentity<MIDIOUTCAPSW>(ProductIdDefault);
        lstrcpynW(caps.szPname, NameOf(unit), CapsNameLength);
        caps.wTechnology = MOD_MIDIPORT;
        caps.wChannelMask = 0xFFFF;
        LOGW(2, L"MidiOutDevice name supplied \"%s\"", caps.szPname);
        Deliver(client, size, caps);
        LOGW(2, L"Caps as returned: %d %d %d %d %s", caps.wMid, caps.wPid, caps.vDriverVersion,
             caps.dwSupport, caps.szPname);
        return MMSYSERR_NOERROR;
    }
    if (size >= sizeof(MIDIOUTCAPSA)) {
        MIDIOUTCAPSA caps = CapsWithIdentity<MIDIOUTCAPSA>(ProductIdNarrowOut);
        FillNarrowName(caps, unit);
        caps.wTechnology = MOD_FMSYNTH;
        caps.wChannelMask = 0xFFFF;
        LOG(2, "MidiOutDevice name supplied \"%s\"", caps.szPname);
        Deliver(client, size, caps);
        LOG(2, "Caps as returned: %d %d %d %d %s", caps.wMid, caps.wPid, caps.vDriverVersion,
            caps.dwSupport, caps.szPname);
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALPARAM;
}

DWORD InputCaps(const Unit *unit, void *client, DWORD size)
{
    if (size >= sizeof(MIDIINCAPSW)) {
        MIDIINCAPSW caps = CapsWithIdentity<MIDIINCAPSW>(ProductIdDefault);
        lstrcpynW(caps.szPname, NameOf(unit), CapsNameLength);
        LOGW(2, L"MidiInDevice name supplied \"%s\"", caps.szPname);
        LOG(2, "sizeof ( MIDIINCAPS ) = %d", static_cast<int>(sizeof(MIDIINCAPSW)));
        Deliver(client, size, caps);
        LOGW(2, L"Caps as returned: %d %d %x %d %s", caps.wMid, caps.wPid, caps.vDriverVersion, 0,
             caps.szPname);
        return MMSYSERR_NOERROR;
    }
    if (size >= sizeof(MIDIINCAPSA)) {
        MIDIINCAPSA caps = CapsWithIdentity<MIDIINCAPSA>(ProductIdDefault);
        FillNarrowName(caps, unit);
        LogPrint("%s", caps.szPname);
        Deliver(client, size, caps);
        LOG(2, "Caps as returned: %d %d %x %d %s", caps.wMid, caps.wPid, caps.vDriverVersion, 0,
            caps.szPname);
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALPARAM;
}

}  // namespace

Unit *IndexToUnit(DWORD deviceId, DWORD deviceType)
{
    DWORD bit = DirectionBit(deviceType);
    DWORD next = 0;
    for (int slot = 0; slot < UnitsInUse; ++slot) {
        Unit *unit = &pUnits[slot];
        if (!IsDevice(*unit, bit)) continue;
        if (next++ != deviceId) continue;
        LOGW(2, L" IndexToUnit returning unit %d (%x) for %sput id %d", slot,
             static_cast<unsigned>(reinterpret_cast<DWORD_PTR>(unit)),
             deviceType == MidiInDevice ? L"In" : L"Out", deviceId);
        return unit;
    }
    return nullptr;
}

DWORD CountDevices(DWORD deviceType)
{
    DWORD bit = DirectionBit(deviceType);
    DWORD count = 0;
    EnterCriticalSection(&mmDrvCritSec);
    for (int slot = 0; slot < UnitsInUse; ++slot)
        if (IsDevice(pUnits[slot], bit)) ++count;
    LeaveCriticalSection(&mmDrvCritSec);
    LOG(2, "%d devices of type %d", count, deviceType);
    return count;
}

DWORD GetDevCaps(DWORD deviceId, DWORD deviceType, void *caps, DWORD size)
{
    Unit *unit = IndexToUnit(deviceId, deviceType);
    if (!unit) {
        OutputDebugStringW(L"Bad Device ID\n");
        return MMSYSERR_BADDEVICEID;
    }
    // A null buffer would only fault; winmm never sends one, a stray caller gets a code.
    if (!caps) return MMSYSERR_INVALPARAM;
    if (DriverVersion == InitialDriverVersion) ReadDriverVersion();

    EnterCriticalSection(&mmDrvCritSec);
    DWORD result;
    if (deviceType == MidiInDevice) {
        LOG(2, "dwSize = %d, sizeof capsW = %d, sizeof capsA = %d", size,
            static_cast<int>(sizeof(MIDIINCAPSW)), static_cast<int>(sizeof(MIDIINCAPSA)));
        LOG(2, "sizeof caps = %d W %d A %d", size, static_cast<int>(sizeof(MIDIINCAPSW)),
            static_cast<int>(sizeof(MIDIINCAPSA)));
        result = InputCaps(unit, caps, size);
    } else {
        result = OutputCaps(unit, caps, size);
    }
    LeaveCriticalSection(&mmDrvCritSec);
    return result;
}

// The port's entry is the one at its device identifier within the asked
// direction: identifiers are dense and stay below 127, so exactly one entry
// is filled and a caller asking for device N finds it in entry N.
DWORD PortTableQuery(DWORD deviceId, DWORD deviceType, void *buffer, DWORD size)
{
    Unit *unit = IndexToUnit(deviceId, deviceType);
    if (!unit) return MMSYSERR_BADDEVICEID;
    bool wide;
    if (size == PortTableNarrowSize)
        wide = false;
    else if (size == PortTableWideSize)
        wide = true;
    else
        return MMSYSERR_NOTSUPPORTED;
    if (!buffer || deviceId >= PortTableEntries) return MMSYSERR_NOTSUPPORTED;

    BYTE *table = static_cast<BYTE *>(buffer);
    FillMemory(table, size, 0xFF);
    BYTE *entry = table + deviceId * (wide ? PortTableWideEntry : PortTableNarrowEntry);
    PutWord(entry, wide ? 7 : 11);
    PutWord(entry + 4, wide ? 22 : 4);
    PutWord(entry + 8, 0xFFFFFFFF);

    EnterCriticalSection(&mmDrvCritSec);
    const WCHAR *name = NameOf(unit);
    DWORD length = 0;
    while (length < PortTableNameMax && name[length]) ++length;
    BYTE *text = entry + PortTableNameOffset;
    for (DWORD i = 0; i < length; ++i) {
        if (wide) {
            WCHAR c = name[i];
            CopyMemory(text + i * sizeof(WCHAR), &c, sizeof c);
        } else {
            text[i] = static_cast<BYTE>(name[i] & 0xFF);
        }
    }
    if (wide) {
        WCHAR zero = 0;
        CopyMemory(text + length * sizeof(WCHAR), &zero, sizeof zero);
    } else {
        text[length] = 0;
    }
    LeaveCriticalSection(&mmDrvCritSec);
    return MMSYSERR_NOERROR;
}
