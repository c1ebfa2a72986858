#include "device/shader_constants.h"

#include <cstring>

namespace {

constexpr DWORD comment_opcode = 0xFFFE;
constexpr DWORD end_token = 0x0000FFFF;
constexpr DWORD ctab_fourcc = 'C' | ('T' << 8) | ('A' << 16) | (DWORD{'B'} << 24);
// D3DXSHADER_CONSTANTTABLE and D3DXSHADER_CONSTANTINFO sizes in bytes.
constexpr DWORD table_header_bytes = 28;
constexpr DWORD constant_info_bytes = 20;

WORD word_at(const unsigned char* bytes, DWORD offset) {
    WORD w;
    std::memcpy(&w, bytes + offset, sizeof w);
    return w;
}

DWORD dword_at(const unsigned char* bytes, DWORD offset) {
    DWORD d;
    std::memcpy(&d, bytes + offset, sizeof d);
    return d;
}

// Reads one constant table of `size` bytes.
bool read_table(const unsigned char* table, DWORD size, RegisterRange* out) {
    if (size < table_header_bytes) return false;
    const DWORD constants = dword_at(table, 12);
    const DWORD info = dword_at(table, 16);
    if (info > size || constants > (size - info) / constant_info_bytes) return false;
    UINT lo = 0, hi = 0;
    for (DWORD i = 0; i < constants; ++i) {
        const DWORD at = info + i * constant_info_bytes;
        if (word_at(table, at + 4) != D3DXRS_FLOAT4) continue;
        const UINT first = word_at(table, at + 6);
        const UINT count = word_at(table, at + 8);
        if (count == 0) continue;
        if (hi == lo) {
            lo = first;
            hi = first + count;
        } else {
            if (first < lo) lo = first;
            if (first + count > hi) hi = first + count;
        }
    }
    out->first = lo;
    out->count = hi - lo;
    return true;
}

}  // namespace

bool float_constant_range(const DWORD* code, RegisterRange* out, UINT max_tokens) {
    if (!code || !out || max_tokens < 2) return false;
    // The version token, then comments; the table comes before the first
    // instruction.
    UINT at = 1;
    while (at < max_tokens && (code[at] & 0xFFFF) == comment_opcode && code[at] != end_token) {
        const UINT length = (code[at] >> 16) & 0x7FFF;
        if (length > max_tokens - at - 1) return false;
        if (length >= 1 && code[at + 1] == ctab_fourcc)
            return read_table(reinterpret_cast<const unsigned char*>(code + at + 2),
                              (length - 1) * 4, out);
        at += 1 + length;
    }
    return false;
}
