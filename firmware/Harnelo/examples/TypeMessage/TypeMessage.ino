// TypeMessage - a push button that types a line of text, written against
// the standard Keyboard library's interface like a sketch for a Leonardo.
// Porting such a sketch to an Uno takes only its include line.
//
// Wiring (Uno, Nano or another ATmega328P board): a push button from pin 4
// to GND. No resistor: the internal pull-up is used.
// Each press types "Grüße! Pressed 1 time." (then 2 times, 3 times, ...)
// and Enter into the window that has the keyboard focus. The text comes out
// as written whatever the computer's keyboard layout, ü and ß included.

#include <HarneloKeyboard.h>  // for a Leonardo or Micro: #include <Keyboard.h>

const int ButtonPin = 4;
const unsigned long SettleMs = 20;  // lets the button's contacts stop bouncing

int previousReading = HIGH;
unsigned int presses = 0;

void setup() {
  pinMode(ButtonPin, INPUT_PULLUP);
  Keyboard.begin();  // also starts Serial at 115200: choose that rate in Harnelo
}

void loop() {
  int reading = digitalRead(ButtonPin);
  if (reading == LOW && previousReading == HIGH) {
    ++presses;
    Keyboard.print("Grüße! Pressed ");
    Keyboard.print(presses);
    Keyboard.println(presses == 1 ? " time." : " times.");
  }
  previousReading = reading;
  delay(SettleMs);
}
