// Harnelo.h - the board's side of Harnelo, the desktop program that turns
// text lines from a serial port into mouse and keyboard input.
//
//   #include <Harnelo.h>
//
//   Harnelo harnelo;  // sends on Serial; Harnelo harnelo(Serial1) for another port
//
//   void setup() {
//     Serial.begin(115200);  // the rate chosen in Harnelo
//   }
//
//   void loop() {
//     harnelo.moveBy(5, -3);                     // cursor 5 right, 3 up
//     harnelo.pressButton(Harnelo::LeftButton);  // left button down
//     harnelo.tapKey(Vk::Enter);                 // Enter down and up
//     harnelo.typeText("Grüße");                 // as written, on any layout
//     ...
//   }
//
// Each call sends one line of a few base-10 integers, such as "0 8 5 -3",
// ended by CR LF and written in one piece; tapKey and typeShortcut send one
// line for each key going down or up, and typeText as few lines as its
// characters fit in. Harnelo's protocol guide describes
// every line: docs/protocol.md in its repository, and
// /usr/share/doc/harnelo/docs/protocol.md where the program is installed.
// PushButton.h, included here too, debounces a push button.
// HarneloKeyboard.h and HarneloMouse.h give sketches written for the
// standard Keyboard and Mouse libraries a Keyboard and a Mouse that send
// these lines.

#ifndef HARNELO_H
#define HARNELO_H

#include <Arduino.h>

#include "PushButton.h"

class Harnelo {
public:
  // A button's "up" code is its "down" code plus one.
  enum MouseButton : uint8_t {
    RightButton = 0,
    LeftButton = 2,
    MiddleButton = 4,
    BackButton = 9,
    ForwardButton = 11
  };

  // Wheel amounts are in 1/120 notch: +120 is one notch away from the user
  // (scrolls up), -120 one notch towards the user (scrolls down); on the
  // horizontal wheel +120 is one notch to the right.
  static const int32_t WheelNotch = 120;

  // The rate beginSerial() starts Serial at; choose the same in Harnelo.
  static const long SerialBaudRate = 115200;

  // Lines go to out, which the sketch starts, e.g. with Serial.begin().
  constexpr explicit Harnelo(Print &out = Serial) : out_(out) {}

  // Starts Serial at SerialBaudRate unless the sketch has started it. Where
  // the library cannot tell (a Serial that is not an AVR board's UART), it
  // starts Serial anyway: call Serial.begin(rate) after this for another rate.
  static void beginSerial();

  // Moves the cursor by (dx, dy) pixels; positive y is down the screen.
  void moveBy(int32_t dx, int32_t dy);

  // Moves the cursor to desktop pixel (x, y); 0 0 is the top-left corner.
  void moveTo(int32_t x, int32_t y);

  // Turns the wheel by amount, in 1/120 notch (see WheelNotch). Harnelo
  // turns it by at most 100 notches a line.
  void turnWheel(int32_t amount);

  // Turns the horizontal wheel likewise, positive to the right.
  void turnHorizontalWheel(int32_t amount);

  void pressButton(MouseButton button);
  void releaseButton(MouseButton button);

  // Keys are Windows virtual-key codes (1-254): 'A'-'Z', '0'-'9' or one of
  // the Vk names below. Release a key with the code that pressed it.
  void pressKey(uint8_t key);
  void releaseKey(uint8_t key);

  // Presses and releases key.
  void tapKey(uint8_t key);

  // Presses keys[0], keys[1], ... in order and releases them in reverse, so
  // { Vk::Control, 'C' } is Ctrl+C: modifiers go first and come up last.
  void typeShortcut(const uint8_t *keys, uint8_t count);

  // Types text given in UTF-8, as a sketch's string literals are: each
  // character as the computer's keyboard layout types it, so "Grüße" or "€"
  // come out as written whatever the layout. '\n' is Return and '\t' Tab;
  // '\r', other control characters and bytes that are not UTF-8 are skipped.
  void typeText(const char *text);

  // typeText() one character (a Unicode code point) at a time: characters
  // gather in a text line, which goes out when it is full, when endText() is
  // called, or before any other line. Returns false, sending nothing, for a
  // character that cannot be typed (see typeText).
  bool typeCharacter(uint32_t character);
  void endText();

private:
  // Sends the first fieldCount of device, code, first and second as a line.
  void sendLine(uint8_t fieldCount, uint8_t device, uint8_t code,
                int32_t first = 0, int32_t second = 0);

  Print &out_;
  uint8_t textLineLength_ = 0;  // bytes of the open text line; 0 when none is
};

// Puts UTF-8 bytes back together into Unicode code points, also when a
// character's bytes come in separate calls. Bytes that do not make a
// character (a stray continuation byte, a sequence cut short, an overlong
// form or a surrogate) give none.
class Utf8Decoder {
public:
  static const uint32_t NoCharacter = 0xFFFFFFFF;

  // Returns the character byte completes, or NoCharacter.
  uint32_t take(uint8_t byte);

  // True while a character's first bytes wait for the rest.
  bool midCharacter() const { return remaining_ != 0; }
  void reset() { remaining_ = 0; }

private:
  void start(uint32_t leadBits, uint8_t length);
  uint32_t finished() const;

  uint32_t character_ = 0;
  uint8_t remaining_ = 0;  // continuation bytes still to come
  uint8_t length_ = 0;     // bytes of the character being put together
};

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
const uint8_t Keypad0 = 96;  // Keypad 1-9 are 97-105: Keypad 5 is Vk::Keypad0 + 5
const uint8_t KeypadMultiply = 106;
const uint8_t KeypadAdd = 107;
const uint8_t KeypadSubtract = 109;
const uint8_t KeypadDecimal = 110;
const uint8_t KeypadDivide = 111;
const uint8_t LeftWin = 91;
const uint8_t RightWin = 92;
const uint8_t Apps = 93;
const uint8_t F1 = 112;  // F1-F24 are 112-135: F5 is Vk::F1 + 4
const uint8_t NumLock = 144;
const uint8_t ScrollLock = 145;
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

// The punctuation keys, named after what they type on a US keyboard.
const uint8_t Semicolon = 186;
const uint8_t Equals = 187;
const uint8_t Comma = 188;
const uint8_t Minus = 189;
const uint8_t Period = 190;
const uint8_t Slash = 191;
const uint8_t Grave = 192;
const uint8_t LeftBracket = 219;
const uint8_t Backslash = 220;
const uint8_t RightBracket = 221;
const uint8_t Quote = 222;

}  // namespace Vk

#endif
