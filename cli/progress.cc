#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace cli {

std::string HumanBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 5) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

Progress::Progress(const std::string& label, uint64_t total)
    : label_(label),
      total_(total),
      enabled_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() {
  if (drawn_ && !finished_) std::fputc('\n', stderr);
}

void Progress::Advance(uint64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  Draw();
}

void Progress::Finish() {
  if (!enabled_ || finished_) return;
  Draw();
  std::fputc('\n', stderr);
  finished_ = true;
}

void Progress::Draw() {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const uint64_t rate = seconds > 0 ? static_cast<uint64_t>(done_ / seconds) : 0;
  constexpr int kWidth = 30;
  std::string bar;
  std::string percent;
  if (total_ > 0) {
    const double fraction = done_ >= total_ ? 1.0 : static_cast<double>(done_) / total_;
    const int filled = static_cast<int>(fraction * kWidth);
    bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
    char text[16];
    std::snprintf(text, sizeof(text), "%3d%% ", static_cast<int>(fraction * 100));
    percent = text;
  }
  const std::string total = total_ > 0 ? " / " + HumanBytes(total_) : "";
  std::fprintf(stderr, "\r%s %s%s%s%s  %s/s\x1b[K", label_.c_str(), bar.c_str(), percent.c_str(),
               HumanBytes(done_).c_str(), total.c_str(), HumanBytes(rate).c_str());
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace cli
