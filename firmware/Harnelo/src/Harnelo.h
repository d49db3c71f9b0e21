// Harnelo.h - sends Harnelo event lines over Serial.
//
// Every line is a few base-10 integers separated by single spaces and ends
// with println(), so the program on the computer sees "0 8 5 -3" and so on.
// docs/protocol.md in the Harnelo repository describes each line.

#ifndef HARNELO_H
#define HARNELO_H

#include <Arduino.h>

#include "PushButton.h"

namespace EventLines {

const uint8_t MouseDevice = 0;
const uint8_t KeyboardDevice = 1;

// A button's "up" code is its "down" code plus one.
enum MouseButton : uint8_t {
  RightButton = 0,
  LeftButton = 2,
  MiddleButton = 4
};

const uint8_t WheelCode = 6;
const uint8_t MoveToCode = 7;
const uint8_t MoveByCode = 8;

const uint8_t KeyDownCode = 0;
const uint8_t KeyUpCode = 1;

// Wheel amounts are in 1/120 notch: +120 is one notch away from the user.
const int WheelNotch = 120;

inline void beginLine(uint8_t device, uint8_t code) {
  Serial.print(device);
  Serial.print(' ');
  Serial.print(code);
}

inline void addField(long value) {
  Serial.print(' ');
  Serial.print(value);
}

inline void endLine() {
  Serial.println();
}

inline void pressButton(MouseButton button) {
  beginLine(MouseDevice, button);
  endLine();
}

inline void releaseButton(MouseButton button) {
  beginLine(MouseDevice, button + 1);
  endLine();
}

// Moves the cursor by (dx, dy) pixels; positive y is down the screen.
inline void moveBy(long dx, long dy) {
  beginLine(MouseDevice, MoveByCode);
  addField(dx);
  addField(dy);
  endLine();
}

// Moves the cursor to screen pixel (x, y); 0 0 is the top-left corner.
inline void moveTo(long x, long y) {
  beginLine(MouseDevice, MoveToCode);
  addField(x);
  addField(y);
  endLine();
}

inline void turnWheel(long amount) {
  beginLine(MouseDevice, WheelCode);
  addField(amount);
  endLine();
}

// Keys are Windows virtual-key codes (1-254), see the Vk names below.
inline void pressKey(uint8_t key) {
  beginLine(KeyboardDevice, KeyDownCode);
  addField(key);
  endLine();
}

inline void releaseKey(uint8_t key) {
  beginLine(KeyboardDevice, KeyUpCode);
  addField(key);
  endLine();
}

inline void tapKey(uint8_t key) {
  pressKey(key);
  releaseKey(key);
}

// Presses keys[0], keys[1], ... in order and releases them in reverse, so
// { Vk::Control, 'C' } is Ctrl+C: modifiers go first and come up last.
inline void typeShortcut(const uint8_t *keys, uint8_t count) {
  for (uint8_t i = 0; i < count; ++i) {
    pressKey(keys[i]);
  }
  for (uint8_t i = count; i > 0; --i) {
    releaseKey(keys[i - 1]);
  }
}

}  // namespace EventLines

// Virtual-key codes name keys, not characters. Letter keys are 'A'-'Z'
// (65-90) and digit keys '0'-'9' (48-57): write 'C' for the C key, and
// press Vk::Shift around it for a capital letter.
namespace Vk {

const uint8_t Backspace = 8;
const uint8_t Tab = 9;
const uint8_t Enter = 13;
const uint8_t Shift = 16;
const uint8_t Control = 17;
const uint8_t Alt = 18;
const uint8_t Pause = 19;
const uint8_t CapsLock = 20;
const uint8_t Escape = 27;
const uint8_t Space = 32;
const uint8_t PageUp = 33;
const uint8_t PageDown = 34;
const uint8_t End = 35;
const uint8_t Home = 36;
const uint8_t LeftArrow = 37;
const uint8_t UpArrow = 38;
const uint8_t RightArrow = 39;
const uint8_t DownArrow = 40;
const uint8_t PrintScreen = 44;
const uint8_t Insert = 45;
const uint8_t Delete = 46;
const uint8_t LeftWin = 91;
const uint8_t RightWin = 92;
const uint8_t Apps = 93;
const uint8_t F1 = 112;  // F1-F24 are 112-135: F5 is Vk::F1 + 4
const uint8_t LeftShift = 160;
const uint8_t RightShift = 161;
const uint8_t LeftControl = 162;
const uint8_t RightControl = 163;
const uint8_t LeftAlt = 164;
const uint8_t RightAlt = 165;
const uint8_t VolumeMute = 173;
const uint8_t VolumeDown = 174;
const uint8_t VolumeUp = 175;
const uint8_t NextTrack = 176;
const uint8_t PreviousTrack = 177;
const uint8_t PlayPause = 179;

}  // namespace Vk

#endif
