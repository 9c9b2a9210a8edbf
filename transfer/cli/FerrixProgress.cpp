#include "FerrixProgress.h"

#include "FerrixText.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace ferrix {

namespace {

// The terminal line is redrawn at most this often, and once more at the end.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

std::string clock(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld", whole / 60, whole % 60);
  }
  return text;
}

int terminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
  return 80;
}

}  // namespace

void Progress::begin(std::string name) {
  name_ = std::move(name);
  active_ = true;
  drawn_ = false;
  heard_ = false;
  first_ = done_ = total_ = 0;
  rate_ = 0;
  start_ = Clock::now();
  lastDraw_ = start_ - kRedrawInterval;
}

void Progress::connectionDidTransferBytes(FRXConnection&, std::uint64_t bytesDone, std::uint64_t bytesTotal,
                                          double bytesPerSecond) {
  if (!active_) return;
  if (!heard_) {
    // A resumed transfer starts counting at what was already there: the file's rate is timed
    // from the first report on.
    heard_ = true;
    first_ = bytesDone;
    firstAt_ = Clock::now();
  }
  done_ = bytesDone;
  total_ = bytesTotal;
  rate_ = bytesPerSecond;
  if (terminal_ && !quiet_ && Clock::now() - lastDraw_ >= kRedrawInterval) draw(false);
}

void Progress::end(bool succeeded) {
  if (!active_) return;
  active_ = false;
  if (quiet_) return;
  if (succeeded) {
    draw(true);
  } else if (drawn_) {
    std::fputc('\n', stderr);
  }
  std::fflush(stderr);
}

void Progress::draw(bool final) {
  lastDraw_ = Clock::now();
  const double elapsed = std::chrono::duration<double>(lastDraw_ - start_).count();
  if (final && total_ == 0) total_ = done_;
  // Once done the rate is the file's average; on the way, the library's rate of the last second.
  double rate = rate_;
  if (final) {
    const double timed = std::chrono::duration<double>(lastDraw_ - firstAt_).count();
    if (heard_ && done_ > first_ && timed > 0) {
      rate = static_cast<double>(done_ - first_) / timed;
    } else {
      rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
    }
  }
  if (!terminal_) {
    std::fprintf(stderr, "%s: %llu bytes in %.2f s (%.2f MB/s)\n", printable(name_).c_str(),
                 static_cast<unsigned long long>(done_), elapsed, rate / 1048576);
    return;
  }
  const int percent = total_ == 0 ? 100 : static_cast<int>(std::min<std::uint64_t>(done_ * 100 / total_, 100));
  std::string tail;
  if (final) {
    tail = clock(elapsed) + "    ";
  } else if (rate > 0 && total_ > done_) {
    tail = clock(static_cast<double>(total_ - done_) / rate) + " ETA";
  } else {
    tail = "--:-- ETA";
  }
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " %3d%% %7s %9s/s   %s", percent, shortSize(static_cast<double>(done_)).c_str(),
                shortSize(rate).c_str(), tail.c_str());
  const int room = std::max(8, terminalWidth() - 1 - static_cast<int>(std::string(numbers).size()));
  std::string name = printable(name_);
  if (static_cast<int>(name.size()) > room) name = name.substr(0, static_cast<std::size_t>(room));
  std::fprintf(stderr, "\r%-*s%s", room, name.c_str(), numbers);
  if (final) std::fputc('\n', stderr);
  drawn_ = true;
  std::fflush(stderr);
}

}  // namespace ferrix
