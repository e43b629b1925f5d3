#include "qnst_log.hpp"

#include <cstdarg>
#include <cstdlib>

#include "qnst_clock.hpp"
#include "qnst_internal.hpp"

namespace qnst {

int format_entry_prefix(char *buf, size_t size, const std::tm &tm, const char *file, int line) {
    return std::snprintf(buf, size, "[%d-%.2d-%.2d %.2d:%.2d:%.2d,000] [Error] At %s:%d: ",
                         tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                         tm.tm_sec, file, line);
}

}  // namespace qnst

namespace {

FILE *error_file(DB_ENV *dbenv) {
    const qnst_errsink *sink = qnst::errsink_of(dbenv);
    return sink ? sink->fp : nullptr;
}

std::tm now_local() {
    std::tm tm{};
    if (!qnst::local_time(qnst::time_now(), &tm)) tm = std::tm{};
    return tm;
}

// Writes `text` with one call so that the C stream's lock keeps the entry whole, then flushes.
// A failed write has nowhere to be reported.
void write_entry(FILE *fp, const char *text, size_t len) {
    (void)std::fwrite(text, 1, len, fp);
    (void)std::fflush(fp);
}

}  // namespace

void qnst_log_code(DB_ENV *dbenv, const char *file, int line, int code) {
    FILE *fp = error_file(dbenv);
    if (!fp) return;
    char entry[512];
    const std::tm tm = now_local();
    int n = qnst::format_entry_prefix(entry, sizeof entry, tm, file, line);
    if (n < 0 || static_cast<size_t>(n) >= sizeof entry) return;
    const int m = std::snprintf(entry + n, sizeof entry - n, "code %d\n", code);
    if (m < 0 || static_cast<size_t>(n + m) >= sizeof entry) return;
    write_entry(fp, entry, static_cast<size_t>(n + m));
}

void qnst_log_msg(DB_ENV *dbenv, const char *file, int line, const char *format, ...) {
    FILE *fp = error_file(dbenv);
    if (!fp) return;
    char prefix[384];
    const std::tm tm = now_local();
    const int n = qnst::format_entry_prefix(prefix, sizeof prefix, tm, file, line);
    if (n < 0 || static_cast<size_t>(n) >= sizeof prefix) return;

    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int m = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (m < 0) {
        va_end(again);
        return;
    }
    // prefix + "error:" + message + "\n" + terminator
    const size_t total = static_cast<size_t>(n) + 6 + static_cast<size_t>(m) + 1;
    char small[1024];
    char *entry = total + 1 <= sizeof small ? small : static_cast<char *>(std::malloc(total + 1));
    if (!entry) {
        va_end(again);
        return;
    }
    std::memcpy(entry, prefix, static_cast<size_t>(n));
    std::memcpy(entry + n, "error:", 6);
    std::vsnprintf(entry + n + 6, static_cast<size_t>(m) + 1, format, again);
    va_end(again);
    entry[total - 1] = '\n';
    write_entry(fp, entry, total);
    if (entry != small) std::free(entry);
}
