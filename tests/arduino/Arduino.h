#pragma once

// Stands in for the Arduino core on this computer, with just what the
// library in firmware/Harnelo calls, so that its own source runs in tests.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Text kept in flash on a board, here in memory like any other. A function
// rather than the core's macro, which Qt's headers would trip over.
class __FlashStringHelper;
inline const __FlashStringHelper *F(const char *text) { return reinterpret_cast<const __FlashStringHelper *>(text); }

struct Print
{
    virtual ~Print() = default;
    virtual size_t write(uint8_t byte) = 0;
    // As in the core: stops at the first byte that write(byte) refuses.
    virtual size_t write(const uint8_t *buffer, size_t size)
    {
        size_t written = 0;
        while (written < size && write(buffer[written]))
            ++written;
        return written;
    }
    size_t write(const char *buffer, size_t size) { return write(reinterpret_cast<const uint8_t *>(buffer), size); }
    size_t print(const char *text) { return write(text, std::strlen(text)); }
    size_t print(char c) { return write(uint8_t(c)); }
    // As in the core: a byte at a time, to write(byte).
    size_t print(const __FlashStringHelper *text)
    {
        size_t written = 0;
        for (auto next = reinterpret_cast<const char *>(text); *next != '\0' && write(uint8_t(*next)); ++next)
            ++written;
        return written;
    }
    size_t println() { return write("\r\n", 2); }
    size_t println(const char *text) { return print(text) + println(); }
    size_t println(const __FlashStringHelper *text) { return print(text) + println(); }
};

// A port that keeps what is written to it and counts the writes.
struct CapturingPort : Print
{
    size_t write(uint8_t byte) override { return write(&byte, 1); }
    size_t write(const uint8_t *buffer, size_t size) override
    {
        bytes.append(reinterpret_cast<const char *>(buffer), size);
        ++writes;
        return size;
    }
    using Print::write;
    std::string bytes;
    int writes = 0;
};

// The AVR UART's control register, as far as Serial.begin() sets it.
inline uint8_t uartControl = 0;
#define UCSR0B uartControl
#define TXEN0 3
#define RXCIE0 7

struct SerialPort : CapturingPort
{
    void begin(unsigned long rate)
    {
        baudRate = rate;
        UCSR0B |= (1 << TXEN0) | (1 << RXCIE0);
    }
    unsigned long baudRate = 0;
};
inline SerialPort Serial;

#define PROGMEM
#define pgm_read_byte(address) (*reinterpret_cast<const uint8_t *>(address))

// PushButton.h, which Harnelo.h includes, needs these to compile; no test
// calls them.
enum : uint8_t { LOW = 0, HIGH = 1, INPUT_PULLUP = 2 };
void pinMode(uint8_t pin, uint8_t mode);
int digitalRead(uint8_t pin);
unsigned long millis();
