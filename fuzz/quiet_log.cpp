// The library writes its log lines to the web server's logger when one is
// linked in, else to standard error. A fuzz run fails most inputs on purpose;
// this logger takes the lines (already formatted, so the formatting is still
// exercised) and drops them, keeping libFuzzer's own output readable and fast.
struct server_rec;

extern "C" void ap_log_error_(const char *, int, int, int, int, const struct server_rec *, const char *, ...) {}
