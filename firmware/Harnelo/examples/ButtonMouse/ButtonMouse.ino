// ButtonMouse - six push buttons that move the pointer and click, written
// against the standard Mouse library's interface like a sketch for a
// Leonardo. Porting such a sketch to an Uno takes only its include line.
//
// Wiring (Uno, Nano or another ATmega328P board): one push button from
// each of these pins to GND, no resistors (the internal pull-ups are used):
//   pin 2 up, pin 3 down, pin 4 left, pin 5 right,
//   pin 6 left mouse button, pin 7 right mouse button.
// Holding a direction keeps the pointer moving; holding the left button
// while moving drags.

#include <HarneloMouse.h>  // for a Leonardo or Micro: #include <Mouse.h>

const int UpPin = 2;
const int DownPin = 3;
const int LeftPin = 4;
const int RightPin = 5;
const int LeftButtonPin = 6;
const int RightButtonPin = 7;

const int Step = 3;                         // pixels per report
const unsigned long ReportIntervalMs = 10;  // also lets the contacts settle

bool isDown(int pin) {
  return digitalRead(pin) == LOW;
}

// Keeps a mouse button down exactly as long as its push button is held.
void followButton(int pin, uint8_t button) {
  bool held = isDown(pin);
  if (held && !Mouse.isPressed(button)) {
    Mouse.press(button);
  } else if (!held && Mouse.isPressed(button)) {
    Mouse.release(button);
  }
}

void setup() {
  const int pins[] = { UpPin, DownPin, LeftPin, RightPin, LeftButtonPin, RightButtonPin };
  for (int pin : pins) {
    pinMode(pin, INPUT_PULLUP);
  }
  Mouse.begin();  // also starts Serial at 115200: choose that rate in Harnelo
}

void loop() {
  int dx = (isDown(RightPin) - isDown(LeftPin)) * Step;
  int dy = (isDown(DownPin) - isDown(UpPin)) * Step;
  if (dx != 0 || dy != 0) {
    Mouse.move(dx, dy, 0);
  }
  followButton(LeftButtonPin, MOUSE_LEFT);
  followButton(RightButtonPin, MOUSE_RIGHT);
  delay(ReportIntervalMs);
}
