#include "tool/progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace ringlens::tool {

ProgressBar::ProgressBar(bool terminal, Writer writer, Clock clock)
    : terminal_(terminal), writer_(std::move(writer)), clock_(std::move(clock)) {
  if (terminal_) start_ = lastDraw_ = clock_();
}

std::unique_ptr<ProgressBar> ProgressBar::onStandardError() {
  auto clock = [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  };
  auto writer = [](std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(2, bytes.data(), bytes.size());
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  };
  return std::make_unique<ProgressBar>(isatty(2) == 1, writer, clock);
}

std::unique_ptr<ProgressBar> ProgressBar::silent() {
  return std::make_unique<ProgressBar>(false, [](std::string_view) {}, [] { return 0.0; });
}

std::string ProgressBar::render(uint64_t done, uint64_t total) {
  if (done > total) done = total;
  double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  int filled = static_cast<int>(fraction * WIDTH);
  std::string line = "ringlens-tool [";
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(WIDTH - filled), '.');
  char figures[80];
  std::snprintf(figures, sizeof figures, "] %3d%%  %.1f of %.1f MiB", static_cast<int>(fraction * 100),
                static_cast<double>(done) / (1024.0 * 1024.0), static_cast<double>(total) / (1024.0 * 1024.0));
  line += figures;
  return line;
}

void ProgressBar::update(uint64_t done, uint64_t total) {
  if (!terminal_) return;
  // The clock is asked now and then only: updates may come for every record.
  if ((++calls_ & 1023) != 0 && done - lastCheckedDone_ < (1u << 20)) return;
  lastCheckedDone_ = done;
  double now = clock_();
  if (now - start_ < DELAY) return;
  if (shown_ && now - lastDraw_ < REDRAW) return;
  std::string line = render(done, total);
  std::string draw(1, '\r');
  draw += line;
  if (line.size() < drawnWidth_) draw.append(drawnWidth_ - line.size(), ' ');
  writer_(draw);
  drawnWidth_ = line.size();
  lastDraw_ = now;
  shown_ = true;
}

void ProgressBar::finish() {
  if (!shown_) return;
  std::string clear(drawnWidth_ + 2, ' ');
  clear.front() = clear.back() = '\r';
  writer_(clear);
  shown_ = false;
  drawnWidth_ = 0;
}

}  // namespace ringlens::tool
