#pragma once

// Windows-1252, the code page the RQ204 shows, in both directions: the serial control encodes
// with it and the virtual RQ204 decodes with it. Plain C++, so the virtual device can share the
// table without the serial stack it checks.
//
// The code page is Latin-1 except for the 0x80-0x9F row, where Latin-1 has C1 controls; five
// codes of that row are unassigned (0 here). Qt's named converters would need ICU and put the
// control character SUB where this program promises "?".
inline constexpr char16_t Windows1252Row80[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The byte for a UTF-16 code unit, '?' where the code page has none: C1 controls, lone surrogates
// and everything outside the code page go out as '?'.
inline char windows1252Byte(char16_t code)
{
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF))
        return static_cast<char>(code);
    for (int i = 0; i < 32; ++i) {
        if (Windows1252Row80[i] == code)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

// The Unicode code point a byte stands for; 0 for the five unassigned bytes (and for NUL).
inline char32_t windows1252CodePoint(unsigned char byte)
{
    if (byte >= 0x80 && byte < 0xA0)
        return Windows1252Row80[byte - 0x80];
    return byte;
}
