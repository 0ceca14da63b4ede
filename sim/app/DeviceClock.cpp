#include "DeviceClock.h"

#include <algorithm>

namespace zsim {

namespace {

// The share of real time one loop turn may spend running the model.
constexpr auto kSlice = std::chrono::milliseconds(20);
// A running program is woken at most this often: a tight loop runs in
// batches up to "now" instead of one wake-up per statement. Every exchange
// catches the model up first, so the batching never shows on the wire.
constexpr Micros kProgramBatchUs = 2000;
// How far a program may lag behind the clock between exchanges before it
// gives up the statements it could not run in time.
constexpr Micros kMaxLagUs = 250'000;

}  // namespace

DeviceClock::DeviceClock(Model &model, bool lockstep)
    : model_(model), lockstep_(lockstep), epoch_(std::chrono::steady_clock::now()), turn_(epoch_)
{
}

Micros DeviceClock::deviceTime(RealTime t) const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(t - epoch_).count();
}

bool DeviceClock::run(Micros target)
{
    // Nothing due: no look at the clock at all, which is every exchange
    // while no program runs.
    if (model_.advanceTo(target, 0))
        return true;
    if (!sliceEnd_)
        sliceEnd_ = std::chrono::steady_clock::now() + kSlice;
    while (std::chrono::steady_clock::now() < *sliceEnd_)
        if (model_.advanceTo(target, 1))
            return true;
    return false;
}

void DeviceClock::catchUpForInput()
{
    if (lockstep_)
        return;
    const Micros at = deviceTime(turn_);
    if (!run(at))
        model_.fallBehind(at);
}

void DeviceClock::runDue()
{
    if (lockstep_) {
        if (advancing_ && run(target_))
            advancing_ = false;
        return;
    }
    const Micros at = deviceTime(turn_);
    behind_ = !run(at);
    if (behind_ && at - model_.now() > kMaxLagUs) {
        model_.fallBehind(at);
        behind_ = false;
    }
}

std::optional<DeviceClock::RealTime> DeviceClock::nextWake() const
{
    if (lockstep_)
        return advancing_ ? std::optional(turn_) : std::nullopt;
    const auto wake = model_.nextWakeUp();
    if (!wake)
        return std::nullopt;
    if (behind_)
        return turn_;
    const Micros at = std::max(*wake, model_.now() + kProgramBatchUs);
    // A wake-up years ahead (a WAITX on a long jog) is simply far away.
    constexpr Micros kFar = Micros{1} << 50;
    return epoch_ + std::chrono::microseconds(std::min(at, kFar));
}

bool DeviceClock::reached(Micros target) const
{
    if (!advancing_)
        return true;
    const auto wake = model_.nextWakeUp();
    return model_.now() >= target && (!wake || *wake > target);
}

Micros DeviceClock::advance(Micros us)
{
    target_ += us;
    advancing_ = true;
    return target_;
}

}  // namespace zsim
