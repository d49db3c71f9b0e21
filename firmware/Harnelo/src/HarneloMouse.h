// HarneloMouse.h - the standard Mouse library's Mouse, moving the pointer
// through Harnelo. A sketch written for a Leonardo or Micro runs on an Uno
// or Nano once its include line changes:
//
//   #include <Mouse.h>         // before
//   #include <HarneloMouse.h>  // after
//
// Mouse.begin() starts Serial at 115200 (choose that rate in Harnelo)
// unless the sketch started it already; see Harnelo::beginSerial().
//
// Each move, wheel turn and button going down or up is one line, as
// Harnelo.h describes; a wheel step is one notch. Besides the standard
// library's three buttons there are the back and forward buttons (as
// MOUSE_BACKWARD and MOUSE_FORWARD in the ESP32 core's USB mouse, with the
// names other libraries give them too) and, as a fourth argument to move(),
// the horizontal wheel. isPressed() reports what this sketch pressed, not
// the computer's buttons.

#ifndef HARNELO_MOUSE_H
#define HARNELO_MOUSE_H

#include <Arduino.h>

#include "Harnelo.h"

#define MOUSE_LEFT 1
#define MOUSE_RIGHT 2
#define MOUSE_MIDDLE 4
#define MOUSE_BACKWARD 8
#define MOUSE_FORWARD 16
#define MOUSE_ALL (MOUSE_LEFT | MOUSE_RIGHT | MOUSE_MIDDLE | MOUSE_BACKWARD | MOUSE_FORWARD)

// The same buttons under the names of BleMouse and HID-Project.
#define MOUSE_BACK MOUSE_BACKWARD
#define MOUSE_PREV MOUSE_BACKWARD
#define MOUSE_NEXT MOUSE_FORWARD

// Buttons may be combined: press(MOUSE_LEFT | MOUSE_RIGHT) presses both.
class HarneloMouse {
public:
  void begin();
  // Releases every button still held.
  void end();

  void click(uint8_t b = MOUSE_LEFT);
  // pan turns the horizontal wheel, in notches to the right.
  void move(signed char x, signed char y, signed char wheel = 0, signed char pan = 0);
  void press(uint8_t b = MOUSE_LEFT);
  void release(uint8_t b = MOUSE_LEFT);
  // True when any of the buttons in b is held.
  bool isPressed(uint8_t b = MOUSE_LEFT);

private:
  void setButtons(uint8_t buttons);

  Harnelo harnelo_;
  uint8_t buttons_ = 0;
};

extern HarneloMouse Mouse;

#endif
