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
// Harnelo.h describes; a wheel step is one notch. isPressed() reports what
// this sketch pressed, not the computer's buttons.

#ifndef HARNELO_MOUSE_H
#define HARNELO_MOUSE_H

#include <Arduino.h>

#include "Harnelo.h"

#define MOUSE_LEFT 1
#define MOUSE_RIGHT 2
#define MOUSE_MIDDLE 4
#define MOUSE_ALL (MOUSE_LEFT | MOUSE_RIGHT | MOUSE_MIDDLE)

// Buttons may be combined: press(MOUSE_LEFT | MOUSE_RIGHT) presses both.
class HarneloMouse {
public:
  void begin();
  // Releases every button still held.
  void end();

  void click(uint8_t b = MOUSE_LEFT);
  void move(signed char x, signed char y, signed char wheel = 0);
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
