// The driver's own formatting engines, narrow and wide.
//
// One template serves both widths. The log formats caller-supplied texts
// without a structured exception guard (GCC has none), so the engine never
// touches memory it has not checked: every string it reads (the format and
// each %s/%S argument) is read only inside regions that VirtualQuery reports
// committed and readable. A null string prints "(null)"; an unreadable one
// prints nothing more and marks the result bad, which the log treats as the
// fault it would have caught ("Something terrible happened!").
#include "diag/format_engine.h"

namespace {

// Remembers the last readable region so a string inside one region costs a
// single VirtualQuery.
struct ReadableRegion {
    const BYTE *begin = nullptr;
    const BYTE *end = nullptr;
};

constexpr DWORD ReadableProtection = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                                     PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                     PAGE_EXECUTE_WRITECOPY;

bool CanRead(ReadableRegion &region, const void *address, SIZE_T bytes)
{
    const BYTE *p = static_cast<const BYTE *>(address);
    while (bytes) {
        if (!(p >= region.begin && p < region.end)) {
            MEMORY_BASIC_INFORMATION info;
            if (!VirtualQuery(p, &info, sizeof info)) return false;
            if (info.State != MEM_COMMIT) return false;
            if (!(info.Protect & ReadableProtection) || (info.Protect & PAGE_GUARD)) return false;
            region.begin = static_cast<const BYTE *>(info.BaseAddress);
            region.end = region.begin + info.RegionSize;
        }
        SIZE_T here = static_cast<SIZE_T>(region.end - p);
        if (here >= bytes) return true;
        bytes -= here;
        p += here;
    }
    return true;
}

// Reads one character of a string that may be unreadable; false when it is.
template <typename C> bool ReadChar(ReadableRegion &region, const C *p, C &out)
{
    if (!CanRead(region, p, sizeof(C))) return false;
    out = *p;
    return true;
}

template <typename C> struct Output {
    C *buffer;
    int size;
    int count;
    bool full() const { return count >= size - 1; }
    void put(C c)
    {
        if (!full()) buffer[count++] = c;
    }
    void repeat(C c, int times)
    {
        while (times-- > 0 && !full()) buffer[count++] = c;
    }
};

template <typename C> void PutAscii(Output<C> &out, const char *text)
{
    while (*text && !out.full()) out.put(static_cast<C>(static_cast<unsigned char>(*text++)));
}

struct Spec {
    bool zeroFill = false;
    bool widthStarted = false;
    bool precisionGiven = false;
    bool inPrecision = false;
    bool is64 = false;
    bool longModifier = false;
    int width = 0;
    int precision = 0;
};

// Widths beyond any buffer are pointless; capping keeps the arithmetic sane.
constexpr int MaxFieldWidth = 100000;

void AddDigit(int &value, char digit)
{
    if (value < MaxFieldWidth) value = value * 10 + (digit - '0');
}

template <typename C>
void PutInteger(Output<C> &out, const Spec &spec, unsigned long long magnitude, bool negative,
                unsigned base, bool upper)
{
    char digits[24];
    int n = 0;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = set[magnitude % base];
        magnitude /= base;
    } while (magnitude);
    // Precision acts as a minimum width: the field is the larger of the two.
    int field = spec.width > spec.precision ? spec.width : spec.precision;
    int fill = field - n - (negative ? 1 : 0);
    if (spec.zeroFill) {
        // The sign goes before the zeros, as C places it.
        if (negative) out.put('-');
        out.repeat('0', fill);
    } else {
        out.repeat(' ', fill);
        if (negative) out.put('-');
    }
    while (n) out.put(static_cast<C>(digits[--n]));
}

template <typename C>
void PutSigned(Output<C> &out, const Spec &spec, long long value)
{
    bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value);
    PutInteger(out, spec, magnitude, negative, 10, false);
}

// Fixed notation with three decimals, without the C library: exact for the
// range of a 64-bit integer, approximate (but bounded) beyond it.
template <typename C> void PutDouble(Output<C> &out, const Spec &spec, double value)
{
    char text[400];
    int n = 0;
    if (value != value) {
        lstrcpyA(text, "nan");
        n = 3;
    } else {
        bool negative = value < 0;
        double v = negative ? -value : value;
        if (negative) text[n++] = '-';
        if (v > 1.7976931348623157e308) {
            lstrcpyA(text + n, "inf");
            n += 3;
        } else if (v < 1.0e15) {
            unsigned long long scaled = static_cast<unsigned long long>(v * 1000.0 + 0.5);
            unsigned long long whole = scaled / 1000;
            unsigned frac = static_cast<unsigned>(scaled % 1000);
            char rev[24];
            int r = 0;
            do {
                rev[r++] = static_cast<char>('0' + whole % 10);
                whole /= 10;
            } while (whole);
            while (r) text[n++] = rev[--r];
            text[n++] = '.';
            text[n++] = static_cast<char>('0' + frac / 100);
            text[n++] = static_cast<char>('0' + frac / 10 % 10);
            text[n++] = static_cast<char>('0' + frac % 10);
        } else {
            double power = 1.0;
            while (power * 10.0 <= v) power *= 10.0;
            while (power >= 1.0 && n < 380) {
                int digit = static_cast<int>(v / power);
                if (digit < 0) digit = 0;
                if (digit > 9) digit = 9;
                text[n++] = static_cast<char>('0' + digit);
                v -= digit * power;
                power /= 10.0;
            }
            text[n++] = '.';
            text[n++] = '0';
            text[n++] = '0';
            text[n++] = '0';
        }
    }
    text[n] = 0;
    out.repeat(' ', spec.width - n);
    PutAscii(out, text);
}

// Copies a string of either width into the output, converting each
// character (widening a byte, or keeping the low byte of a wide unit).
template <typename C, typename S>
bool PutString(Output<C> &out, const Spec &spec, const S *text, ReadableRegion &region)
{
    static const S nullText[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (!text) text = nullText;
    int limit = spec.precisionGiven ? spec.precision : MaxFieldWidth;
    int length = 0;
    S c;
    while (length < limit) {
        if (!ReadChar(region, text + length, c)) return false;
        if (!c) break;
        ++length;
    }
    if (!spec.zeroFill) out.repeat(' ', spec.width - length);
    for (int i = 0; i < length && !out.full(); ++i) {
        unsigned v = sizeof(S) == 1 ? static_cast<BYTE>(text[i]) : static_cast<WCHAR>(text[i]);
        out.put(static_cast<C>(sizeof(C) == 1 ? (v & 0xFF) : v));
    }
    return true;
}

template <typename C>
int Engine(C *buffer, int size, const C *format, va_list args, bool *bad)
{
    if (bad) *bad = false;
    if (!buffer || size <= 0) return 0;
    ZeroMemory(buffer, static_cast<SIZE_T>(size) * sizeof(C));
    Output<C> out = {buffer, size, 0};
    ReadableRegion region;
    bool ok = true;
    if (!format) {
        ok = false;
    }
    // Reads the next format character; a NUL or an unreadable format ends all.
    const C *p = format;
    auto next = [&](C &c) -> bool {
        if (!ok) return false;
        if (!ReadChar(region, p, c)) {
            ok = false;
            return false;
        }
        if (!c) return false;
        ++p;
        return true;
    };
    C c;
    while (!out.full() && next(c)) {
        if (c != '%') {
            out.put(c);
            continue;
        }
        Spec spec;
        bool done = false;
        while (!done) {
            if (!next(c)) {
                done = true;
                break;
            }
            if (spec.inPrecision && c >= '0' && c <= '9') {
                AddDigit(spec.precision, static_cast<char>(c));
                continue;
            }
            spec.inPrecision = false;
            switch (c) {
            case ' ':
                spec.zeroFill = false;
                break;
            case '0':
                if (spec.widthStarted)
                    AddDigit(spec.width, '0');
                else
                    spec.zeroFill = true;
                break;
            case '1': case '2': case '3': case '4': case '5':
            case '6': case '7': case '8': case '9':
                spec.widthStarted = true;
                AddDigit(spec.width, static_cast<char>(c));
                break;
            case '.':
                spec.precisionGiven = true;
                spec.inPrecision = true;
                spec.precision = 0;
                break;
            case 'l':
                spec.longModifier = true;
                break;
            case 'I': {
                C a = 0, b = 0;
                bool gotA = next(a);
                bool gotB = gotA && next(b);
                if (gotB && a == '6' && b == '4') {
                    spec.is64 = true;
                    break;
                }
                // Anything else after "I" is echoed between question marks.
                out.put('?');
                out.put('%');
                out.put('I');
                if (gotA) out.put(a);
                if (gotB) out.put(b);
                out.put('?');
                done = true;
                break;
            }
            case 'd':
                if (spec.is64)
                    PutSigned(out, spec, va_arg(args, long long));
                else
                    PutSigned(out, spec, static_cast<long long>(va_arg(args, int)));
                done = true;
                break;
            case 'u':
            case 'x':
            case 'X': {
                unsigned long long v = spec.is64
                                           ? va_arg(args, unsigned long long)
                                           : static_cast<unsigned long long>(va_arg(args, unsigned));
                PutInteger(out, spec, v, false, c == 'u' ? 10 : 16, c == 'X');
                done = true;
                break;
            }
            case 'c': {
                C ch = static_cast<C>(va_arg(args, int));
                out.repeat(' ', spec.width - 1);
                out.put(ch);
                done = true;
                break;
            }
            case 's':
            case 'S': {
                // "s" is the engine's own width unless "l" asks for wide;
                // "S" is the other width.
                bool wide = (c == 's') ? (spec.longModifier || sizeof(C) == 2) : (sizeof(C) == 1);
                if (wide) {
                    if (!PutString(out, spec, va_arg(args, const WCHAR *), region)) ok = false;
                } else {
                    if (!PutString(out, spec, va_arg(args, const char *), region)) ok = false;
                }
                done = true;
                break;
            }
            case 'f':
                PutDouble(out, spec, va_arg(args, double));
                done = true;
                break;
            default:
                PutAscii(out, "???");
                done = true;
                break;
            }
        }
        if (!ok) break;
    }
    if (bad) *bad = !ok;
    return out.count;
}

}  // namespace

int FormatTextChecked(char *buffer, int size, const char *format, va_list args, bool *bad)
{
    return Engine<char>(buffer, size, format, args, bad);
}

int FormatTextWChecked(WCHAR *buffer, int size, const WCHAR *format, va_list args, bool *bad)
{
    return Engine<WCHAR>(buffer, size, format, args, bad);
}

int FormatText(char *buffer, int size, const char *format, va_list args)
{
    return Engine<char>(buffer, size, format, args, nullptr);
}

int FormatTextW(WCHAR *buffer, int size, const WCHAR *format, va_list args)
{
    return Engine<WCHAR>(buffer, size, format, args, nullptr);
}

int FormatTextF(char *buffer, int size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = FormatText(buffer, size, format, args);
    va_end(args);
    return n;
}

int FormatTextWF(WCHAR *buffer, int size, const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = FormatTextW(buffer, size, format, args);
    va_end(args);
    return n;
}
