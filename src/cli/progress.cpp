#include "cli/progress.hpp"

#include <algorithm>
#include <cstdio>

#include "cli/console.hpp"

namespace vexa::cli {

void Progress::start(long long now) {
    enabled = progress_terminal();
    next_draw = now + 1000;  // runs shorter than a second show nothing
    phase_start = now;
}

void Progress::restart(std::uint64_t new_total) {
    total = new_total;
    done = 0;
    phase_start = now_ms();
}

void Progress::advance(std::size_t n) {
    done += n;
    if (done > total) total = 0;
    tick();
}

void Progress::tick() {
    if (!enabled) return;
    const long long now = now_ms();
    if (now < next_draw) return;
    next_draw = now + 250;
    draw(now);
}

void Progress::draw(long long now) const {
    const double seconds = static_cast<double>(now - phase_start) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char line[96];
    int length = 0;
    if (total == 0) {
        length = std::snprintf(line, sizeof line, "%.1f MB %s, %.1f MB/s", static_cast<double>(done) / 1e6,
                               counted, rate / 1e6);
    } else {
        const std::uint64_t part = std::min(done, total);
        char left[32] = "--:--";
        if (rate > 0) {
            const auto s = static_cast<long long>(static_cast<double>(total - part) / rate + 0.5);
            if (s < 3600) {
                std::snprintf(left, sizeof left, "%lld:%02lld", s / 60, s % 60);
            } else {
                std::snprintf(left, sizeof left, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
            }
        }
        length = std::snprintf(line, sizeof line, "%3d%%  %.1f MB/s  %s left", static_cast<int>(part * 100 / total),
                               rate / 1e6, left);
    }
    if (length <= 0 || length >= static_cast<int>(sizeof line)) return;
    draw_progress_line(line, static_cast<std::size_t>(length));
}

}  // namespace vexa::cli
