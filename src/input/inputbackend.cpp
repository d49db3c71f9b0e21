#include "inputbackend.h"

#include <algorithm>

// Both wheels draw on the same allowance of a batch.
int InputBackend::boundWheel(int amount)
{
    int bounded = std::clamp(amount, -MaxWheelPerTurn, MaxWheelPerTurn);
    if (inBatch()) {
        bounded = std::clamp(bounded, -wheel_left_in_batch, wheel_left_in_batch);
        wheel_left_in_batch -= bounded < 0 ? -bounded : bounded;
    }
    return bounded;
}

void InputBackend::turnWheel(int amount)
{
    if (const int bounded = boundWheel(amount))
        sendWheel(bounded);
}

void InputBackend::turnHorizontalWheel(int amount)
{
    if (const int bounded = boundWheel(amount))
        sendHorizontalWheel(bounded);
}

void InputBackend::beginBatch()
{
    if (batch_depth++ == 0)
        wheel_left_in_batch = MaxWheelPerBatch;
}

void InputBackend::endBatch()
{
    if (batch_depth > 0 && --batch_depth == 0)
        flush();
}

namespace {

class NoInput final : public InputBackend
{
public:
    void pressButton(MouseButton) override {}
    void releaseButton(MouseButton) override {}
    void sendKey(int, bool) override {}
    void typeCharacter(char32_t) override {}
    void releaseAllKeys() override {}
    // Claims the cursor too, so that nothing moves it.
    bool moveCursorTo(int, int) override { return true; }
    bool moveCursorBy(int, int) override { return true; }

protected:
    void sendWheel(int) override {}
    void sendHorizontalWheel(int) override {}
};

} // namespace

std::unique_ptr<InputBackend> createNoInput()
{
    return std::make_unique<NoInput>();
}
