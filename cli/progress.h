// A progress bar for long transfers, drawn on stderr only when stderr is a
// terminal: bytes done of the total, the rate and the percentage, redrawn
// at most ten times a second.

#ifndef KELTOS3_CLI_PROGRESS_H_
#define KELTOS3_CLI_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace cli {

// "2510 bytes" below 1 KiB, otherwise one decimal with the binary unit:
// "2.5 KiB", "64.0 MiB", "1.2 GiB".
std::string HumanBytes(uint64_t bytes);

class Progress {
 public:
  // `label` starts the line ("put", "get"); `total` is the expected byte
  // count (0 when unknown: no percentage is shown).
  Progress(const std::string& label, uint64_t total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  // Ends the line when something was drawn.
  ~Progress();

  // Adds `bytes` to the count done and redraws when due.
  void Advance(uint64_t bytes);

  // Draws the final state and ends the line.
  void Finish();

 private:
  void Draw();

  std::string label_;
  uint64_t total_;
  uint64_t done_ = 0;
  bool enabled_;
  bool drawn_ = false;
  bool finished_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace cli

#endif  // KELTOS3_CLI_PROGRESS_H_
