#include "qnst_internal.hpp"

int qnst_dbt_init(DBT *dbt, void *data, uint32_t size, uint32_t ulen) {
    std::memset(dbt, 0, sizeof *dbt);
    dbt->data = data;
    dbt->size = size;
    dbt->ulen = ulen;
    dbt->flags = DB_DBT_USERMEM;
    return 0;
}

void qnst_revcopy(void *dst, const void *src, size_t n) {
    auto *d = static_cast<uint8_t *>(dst);
    const auto *s = static_cast<const uint8_t *>(src);
    for (size_t i = 0; i < n; ++i) d[i] = s[n - 1 - i];
}

namespace {
constexpr char kFirstChar = 0x30;  // the character of the six-bit value 0
}

int qnst_b64encode(const void *in, char *out, int32_t len) {
    const auto *b = static_cast<const uint8_t *>(in);
    int w = 0;
    for (int32_t i = 0; i < len; i += 3) {
        const int32_t left = len - i;
        const uint8_t b0 = b[i], b1 = left > 1 ? b[i + 1] : 0, b2 = left > 2 ? b[i + 2] : 0;
        out[w++] = static_cast<char>((b0 >> 2) + kFirstChar);
        out[w++] = static_cast<char>((((b0 & 3) << 4) | (b1 >> 4)) + kFirstChar);
        if (left > 1) out[w++] = static_cast<char>((((b1 & 15) << 2) | (b2 >> 6)) + kFirstChar);
        if (left > 2) out[w++] = static_cast<char>((b2 & 63) + kFirstChar);
    }
    return w;
}

int qnst_b64decode(const char *in, void *out, int32_t len) {
    auto *o = static_cast<uint8_t *>(out);
    int w = 0;
    for (int32_t i = 0; i < len; i += 4) {
        const int32_t left = len - i;
        auto value = [&](int32_t k) {
            return k < left ? static_cast<uint8_t>(in[i + k] - kFirstChar) : uint8_t{0};
        };
        const uint8_t c0 = value(0), c1 = value(1), c2 = value(2), c3 = value(3);
        o[w++] = static_cast<uint8_t>((c0 << 2) | (c1 >> 4));
        if (left > 2) o[w++] = static_cast<uint8_t>((c1 << 4) | (c2 >> 2));
        if (left > 3) o[w++] = static_cast<uint8_t>((c2 << 6) | c3);
    }
    return w;
}
