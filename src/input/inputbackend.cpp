#include "inputbackend.h"

#include <algorithm>

void InputBackend::turnWheel(int amount)
{
    int bounded = std::clamp(amount, -MaxWheelPerTurn, MaxWheelPerTurn);
    if (inBatch()) {
        bounded = std::clamp(bounded, -wheel_left_in_batch, wheel_left_in_batch);
        wheel_left_in_batch -= bounded < 0 ? -bounded : bounded;
    }
    if (bounded != 0)
        sendWheel(bounded);
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
    void releaseAllKeys() override {}
    // Claims the cursor too, so that nothing moves it.
    bool moveCursorTo(int, int) override { return true; }
    bool moveCursorBy(int, int) override { return true; }

protected:
    void sendWheel(int) override {}
};

} // namespace

std::unique_ptr<InputBackend> createNoInput()
{
    return std::make_unique<NoInput>();
}
