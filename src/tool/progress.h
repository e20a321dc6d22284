// A progress bar on standard error for long runs: drawn only when standard
// error is a terminal and only once a run has lasted a second, so short
// runs, pipes and files never see it. Cleared when the run ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ringlens::tool {

class ProgressBar {
 public:
  using Clock = std::function<double()>;                   // seconds, from any start
  using Writer = std::function<void(std::string_view)>;  // the terminal

  static constexpr double DELAY = 1.0;    // seconds before the bar shows
  static constexpr double REDRAW = 0.1;   // seconds between draws
  static constexpr int WIDTH = 30;        // characters of the bar itself

  // Silent unless `terminal`.
  ProgressBar(bool terminal, Writer writer, Clock clock);
  // The bar on this process's standard error, shown when it is a terminal.
  static std::unique_ptr<ProgressBar> onStandardError();
  // A bar that never shows.
  static std::unique_ptr<ProgressBar> silent();
  ~ProgressBar() { finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void update(uint64_t done, uint64_t total);
  // Clears the bar from the terminal if it was drawn.
  void finish();
  bool shown() const { return shown_; }

  // The line drawn for a state, without the leading carriage return.
  static std::string render(uint64_t done, uint64_t total);

 private:
  bool terminal_;
  Writer writer_;
  Clock clock_;
  double start_ = 0;
  double lastDraw_ = 0;
  uint64_t calls_ = 0;
  uint64_t lastCheckedDone_ = 0;
  bool shown_ = false;
  size_t drawnWidth_ = 0;
};

}  // namespace ringlens::tool
