// A console that records what the station drew, and hands out scripted keys.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/console.h"

namespace davrilon {

class FakeConsole : public Console {
 public:
  void SetTextColour(int colour) override { text_colour = colour; }
  void SetBackgroundColour(int colour) override { background_colour = colour; }
  void ClearWindow() override {
    Record("clear " + Colours());
    column = 1;
    row = 1;
  }
  void PutCursor(int c, int r) override {
    column = c;
    row = r;
  }
  void WriteAtCursor(std::string_view text) override {
    Record("at " + std::to_string(column) + "," + std::to_string(row) + " " + Colours() + " " +
           std::string(text));
    column += static_cast<int>(text.size());
  }
  void HideCursor() override { Record("hide cursor"); }
  void SetTitle(std::string_view title) override { Record("title " + std::string(title)); }
  void WriteLine(std::string_view text) override { Record("line " + std::string(text)); }
  void WriteText(std::string_view text) override { Record("text " + std::string(text)); }
  bool KeyWaiting() override {
    ++key_checks;
    return !keys.empty();
  }
  int ReadKey() override {
    ++keys_read;
    if (keys.empty())
      return 0;
    int key = keys.front();
    keys.pop_front();
    return key;
  }
  void Restore() override { ++restores; }

  // What the station drew, one entry per operation that shows something.
  std::vector<std::string> events;
  std::deque<int> keys;
  int text_colour = 7;
  int background_colour = 0;
  int column = 1;
  int row = 1;
  int key_checks = 0;
  int keys_read = 0;
  int restores = 0;

 private:
  std::string Colours() const {
    return std::to_string(text_colour) + "/" + std::to_string(background_colour);
  }
  void Record(std::string event) { events.push_back(std::move(event)); }
};

}  // namespace davrilon
