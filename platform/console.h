// The station's text console and keyboard.
#pragma once

#include <memory>
#include <string_view>

namespace davrilon {

// Colours are numbers whose bits are those of the console's character
// attributes: 1 blue, 2 green, 4 red, 8 bright (text only).
constexpr int kYellow = 14;
constexpr int kBlue = 1;
constexpr int kRed = 4;

// Character cells addressed by column and row, both from 1 at the top left.
// Texts are given in UTF-8 and shown in the terminal's character set. None of
// the operations reports a failure.
class Console {
 public:
  virtual ~Console() = default;

  virtual void SetTextColour(int colour) = 0;        // 0 to 15
  virtual void SetBackgroundColour(int colour) = 0;  // 0 to 7
  // Fills the window with blanks in the current colours; cursor to 1,1.
  virtual void ClearWindow() = 0;
  // A position outside the window is ignored and the cursor stays.
  virtual void PutCursor(int column, int row) = 0;
  // Writes in the current colours, every character unchanged ("%" included).
  virtual void WriteAtCursor(std::string_view text) = 0;
  virtual void HideCursor() = 0;
  virtual void SetTitle(std::string_view title) = 0;

  // A console line (text and a line end) and a console text (no line end), in
  // the console's own colours, on the screen when the call returns.
  virtual void WriteLine(std::string_view text) = 0;
  virtual void WriteText(std::string_view text) = 0;

  // Nonzero when a key press is waiting; never waits.
  virtual bool KeyWaiting() = 0;
  // The character code of the next key (Ctrl+K gives 11), waiting for one. When
  // the keyboard has gone (end of input) it returns 0 at once.
  virtual int ReadKey() = 0;

  // Gives the terminal back as it was found (cursor shown, modes restored).
  // Called on every way out; safe to call more than once.
  virtual void Restore() = 0;
};

// The console on the process's standard input and output. On a terminal it
// draws with control sequences and reads keys one by one without echo; when
// standard output is no terminal it writes only the console lines and texts.
std::unique_ptr<Console> MakeTerminalConsole();

}  // namespace davrilon
