// The console on a POSIX terminal: ANSI control sequences for colours, cursor
// and title; standard input read key by key without echo.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/console.h"
#include "platform/console_output_posix.h"
#include "platform/signals.h"

namespace davrilon {
namespace {

// Windows attribute bits (1 blue, 2 green, 4 red) to an ANSI colour index
// (1 red, 2 green, 4 blue).
int AnsiIndex(int colour) {
  return ((colour & 1) << 2) | (colour & 2) | ((colour & 4) >> 2);
}

// The terminal's character set: UTF-8 unless the locale names another one.
class Charset {
 public:
  Charset() {
    const char* chosen = std::setlocale(LC_CTYPE, "");
    std::string codeset = chosen != nullptr ? nl_langinfo(CODESET) : "UTF-8";
    bool plain_locale =
        chosen == nullptr || std::string(chosen) == "C" || std::string(chosen) == "POSIX";
    if (!plain_locale && codeset != "UTF-8" && codeset != "utf8") {
      converter_ = iconv_open((codeset + "//TRANSLIT").c_str(), "UTF-8");
    }
    std::setlocale(LC_CTYPE, "C");
  }
  ~Charset() {
    if (converter_ != reinterpret_cast<iconv_t>(-1))
      iconv_close(converter_);
  }
  std::string Convert(std::string_view utf8) {
    if (converter_ == reinterpret_cast<iconv_t>(-1))
      return std::string(utf8);
    std::string in(utf8);
    std::string out(in.size() * 4 + 4, '\0');
    char* in_ptr = in.data();
    std::size_t in_left = in.size();
    char* out_ptr = out.data();
    std::size_t out_left = out.size();
    while (in_left > 0) {
      if (iconv(converter_, &in_ptr, &in_left, &out_ptr, &out_left) ==
          static_cast<std::size_t>(-1)) {
        if (errno == E2BIG)
          break;
        *out_ptr++ = '?';  // a character the terminal cannot show
        --out_left;
        ++in_ptr;
        --in_left;
      }
    }
    out.resize(out.size() - out_left);
    return out;
  }

 private:
  iconv_t converter_ = reinterpret_cast<iconv_t>(-1);
};

class TerminalConsole final : public Console {
 public:
  TerminalConsole() : tty_out_(isatty(STDOUT_FILENO) != 0) {
    if (isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved_modes_) == 0) {
      termios raw = saved_modes_;
      // Key by key and without echo. Ctrl+K is the only key that does
      // anything, so every other one reaches the station as a byte and is
      // thrown away: no signal keys (Ctrl+C, Ctrl+\, Ctrl+Z), no output flow
      // control (Ctrl+S would freeze the station at its next console write),
      // no literal-next or discard (Ctrl+V, Ctrl+O).
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG | IEXTEN));
      raw.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF));
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0)
        modes_changed_ = true;
    }
    if (tty_out_)
      Out("\x1b[22;0t");  // keep the terminal's title to give it back
  }
  ~TerminalConsole() override { Restore(); }

  void SetTextColour(int colour) override { text_ = colour & 15; }
  void SetBackgroundColour(int colour) override { background_ = colour & 7; }

  void ClearWindow() override {
    if (!tty_out_)
      return;
    Out(Colours() + "\x1b[2J\x1b[H");
  }
  void PutCursor(int column, int row) override {
    if (!tty_out_)
      return;
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 &&
        (column < 1 || row < 1 || column > size.ws_col || row > size.ws_row)) {
      return;  // outside the window: the cursor stays
    }
    Out("\x1b[" + std::to_string(row) + ";" + std::to_string(column) + "H");
  }
  void WriteAtCursor(std::string_view text) override {
    if (!tty_out_)
      return;
    Out(Colours() + charset_.Convert(text));
  }
  void HideCursor() override {
    if (tty_out_)
      Out("\x1b[?25l");
  }
  void SetTitle(std::string_view title) override {
    if (tty_out_)
      Out("\x1b]0;" + charset_.Convert(title) + "\x07");
  }
  void WriteLine(std::string_view text) override {
    Out((tty_out_ ? std::string("\x1b[0m") : std::string()) + charset_.Convert(text) + "\n");
  }
  void WriteText(std::string_view text) override {
    Out((tty_out_ ? std::string("\x1b[0m") : std::string()) + charset_.Convert(text));
  }

  bool KeyWaiting() override {
    if (pending_)
      return true;
    if (end_of_input_)
      return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
      return false;
    return Fetch();
  }
  int ReadKey() override {
    if (!pending_ && !end_of_input_)
      Fetch();
    if (!pending_)
      return 0;  // no keyboard any more: nothing to wait for
    int key = *pending_;
    pending_.reset();
    return key;
  }

  void Restore() override {
    if (tty_out_ && !restored_)
      Out("\x1b[0m\x1b[?25h\x1b[23;0t\n");
    if (modes_changed_)
      tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes_);
    modes_changed_ = false;
    restored_ = true;
  }

 private:
  // Reads one byte into pending_, blocking. False at the end of input, on an
  // error, or when a stop signal interrupted the wait.
  bool Fetch() {
    unsigned char byte = 0;
    for (;;) {
      ssize_t n = read(STDIN_FILENO, &byte, 1);
      if (n == 1) {
        pending_ = byte;
        return true;
      }
      if (n < 0 && errno == EINTR) {
        if (StopSignalNumber() != 0)
          return false;
        continue;
      }
      end_of_input_ = true;
      return false;
    }
  }

  std::string Colours() const {
    int fg = AnsiIndex(text_) + ((text_ & 8) != 0 ? 90 : 30);
    int bg = AnsiIndex(background_) + 40;
    return "\x1b[" + std::to_string(fg) + ";" + std::to_string(bg) + "m";
  }
  void Out(const std::string& bytes) { out_.Write(bytes); }

  bool tty_out_;
  ConsoleOutput out_{STDOUT_FILENO};
  bool modes_changed_ = false;
  bool restored_ = false;
  termios saved_modes_{};
  Charset charset_;
  int text_ = 7;
  int background_ = 0;
  std::optional<int> pending_;
  bool end_of_input_ = false;
};

}  // namespace

std::unique_ptr<Console> MakeTerminalConsole() {
  return std::make_unique<TerminalConsole>();
}

}  // namespace davrilon
