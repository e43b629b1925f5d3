// Byte-order codecs on byte arrays, the one home of the engine's integer encodings and record
// field layouts. Needs no Berkeley DB, so that code built without it (fast files, their Windows
// build and fuzzing harness) shares them.
#pragma once

#include <cstdint>

namespace qnst {

// Record data is little-endian; integers in keys that must sort numerically are big-endian. `n`
// is the width in bytes (1..8), for fields such as the 48-bit block handle.
inline void store_be(uint8_t *p, uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[n - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t load_be(const uint8_t *p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}
inline void store_le(uint8_t *p, uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t load_le(const uint8_t *p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}
inline void store_be32(uint8_t *p, uint32_t v) { store_be(p, v, 4); }
inline void store_be64(uint8_t *p, uint64_t v) { store_be(p, v, 8); }
inline uint32_t load_be32(const uint8_t *p) { return static_cast<uint32_t>(load_be(p, 4)); }
inline uint64_t load_be64(const uint8_t *p) { return load_be(p, 8); }
inline void store_le16(uint8_t *p, uint16_t v) { store_le(p, v, 2); }
inline void store_le32(uint8_t *p, uint32_t v) { store_le(p, v, 4); }
inline void store_le64(uint8_t *p, uint64_t v) { store_le(p, v, 8); }
inline uint16_t load_le16(const uint8_t *p) { return static_cast<uint16_t>(load_le(p, 2)); }
inline uint32_t load_le32(const uint8_t *p) { return static_cast<uint32_t>(load_le(p, 4)); }
inline uint64_t load_le64(const uint8_t *p) { return load_le(p, 8); }

// Records whose fields lie one after the other: stores (loads) each field little-endian in its
// own width, 4 bytes for a uint32_t and 8 for a uint64_t, from `p` on, in the order given.
template <typename... Fields>
inline void store_le_fields(uint8_t *p, Fields... fields) {
    static_assert(((sizeof(Fields) == 4 || sizeof(Fields) == 8) && ...));
    ((store_le(p, fields, sizeof(Fields)), p += sizeof(Fields)), ...);
}
template <typename... Fields>
inline void load_le_fields(const uint8_t *p, Fields &...fields) {
    static_assert(((sizeof(Fields) == 4 || sizeof(Fields) == 8) && ...));
    ((fields = static_cast<Fields>(load_le(p, sizeof(Fields))), p += sizeof(Fields)), ...);
}

// Versioned keys hold the creation version negated (two's complement, modulo 2^32) and
// big-endian, so that within one key prefix the newest version sorts first.
inline void store_neg_version(uint8_t *p, uint32_t cver) { store_be32(p, 0u - cver); }
inline uint32_t load_neg_version(const uint8_t *p) { return 0u - load_be32(p); }

}  // namespace qnst
