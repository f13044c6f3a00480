#pragma once
// Bounded reads from a DWARF operation stream, shared by the call-frame parser and the CFA
// program: every read checks the stream's end before touching its memory object.
#include "crashreporter/dwarf.hpp"

namespace lvcrash::RD::async::detail {

struct OpStreamReader {
    lvcrash_async_dwarf_opstream* s;
    bool done() const { return s->position >= s->end; }
    bool fits(std::uint64_t n) const { return s->position <= s->end && n <= s->end - s->position; }
    lvcrash_error_t skip(std::uint64_t n) {
        if (!fits(n)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        s->position += n;
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_error_t u8(std::uint8_t* v) {
        if (!fits(1) || lvcrash_async_mobject_read_uint8(s->mobj, s->position, 0, v) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        s->position += 1;
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_error_t u16(std::uint16_t* v) {
        if (!fits(2) || lvcrash_async_mobject_read_uint16(s->mobj, s->byteorder, s->position, 0, v) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        s->position += 2;
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_error_t u32(std::uint32_t* v) {
        if (!fits(4) || lvcrash_async_mobject_read_uint32(s->mobj, s->byteorder, s->position, 0, v) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        s->position += 4;
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_error_t u64(std::uint64_t* v) {
        if (!fits(8) || lvcrash_async_mobject_read_uint64(s->mobj, s->byteorder, s->position, 0, v) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        s->position += 8;
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_error_t uleb(std::uint64_t* v) {
        std::size_t size = 0;
        if (!fits(1)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        const lvcrash_error_t err = lvcrash_async_dwarf_read_uleb128(s->mobj, s->position, 0, v, &size);
        if (err != LVCRASH_ERROR_NONE) return err;
        if (!fits(size)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        s->position += size;
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_error_t sleb(std::int64_t* v) {
        std::size_t size = 0;
        if (!fits(1)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        const lvcrash_error_t err = lvcrash_async_dwarf_read_sleb128(s->mobj, s->position, 0, v, &size);
        if (err != LVCRASH_ERROR_NONE) return err;
        if (!fits(size)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        s->position += size;
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_error_t reg(std::uint32_t* r) {
        std::uint64_t v;
        const lvcrash_error_t err = uleb(&v);
        if (err != LVCRASH_ERROR_NONE) return err;
        if (v > 0xFFFFFFFFull) return LVCRASH_ERROR_NOT_SUPPORTED;
        *r = static_cast<std::uint32_t>(v);
        return LVCRASH_ERROR_NONE;
    }
};

}  // namespace lvcrash::RD::async::detail
