// The simulated driver as a deterministic state machine.
//
// Everything the device does happens in handle() (one command in, one reply
// out) or as time passes through advanceTo(). There is no clock, socket or
// thread in here: the process around it decides what "now" is, which lets
// tests drive it with exact times.
#pragma once

#include "Axis.h"
#include "Flash.h"
#include "Programs.h"
#include "Transfer.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zsim {

constexpr std::size_t kFrame = 64;
using Frame = std::array<unsigned char, kFrame>;

// Unreadable: something is stored but cannot be read; STORE is refused
// until it can be read or is removed.
enum class FlashState { Blank, Loaded, Corrupt, Unreadable };
// The program part of the flash: none stored, stored, or present but not
// trusted (never run, reported by PGINFO and in the state line).
enum class ProgramState { None, Stored, Corrupt };

class Model : private ProgramHost {
public:
    // factoryName is the device name used while the flash holds none.
    Model(FlashStorage &flash, std::string factoryName, Micros now = 0);

    // One command (without terminator) -> one reply of at most 64 characters.
    std::string handle(std::string_view command);
    // The same at the frame level: the command ends at the first zero byte or
    // after 64 bytes; the reply is zero-padded.
    Frame handleFrame(const Frame &in);

    // Time only moves forward; earlier times are ignored. The program threads
    // run every statement due meanwhile, each at its own instant.
    // At most Interpreter::kMaxStepsPerRun statements; a program due for more
    // falls behind (see fallBehind).
    void advanceTo(Micros now);
    // The same in slices: at most `maxStatements`; false when more is due
    // before `now`, the clock then standing at the last statement run.
    bool advanceTo(Micros now, int maxStatements);
    // The same, stopping also for what `watch` asks; the clock then stands at
    // the last statement run (or the breakpoint reached), and is not moved
    // on to `now` even when nothing more is due.
    RunResult advanceWatched(Micros now, int maxStatements, const Watch &watch)
    {
        return programs_.threads().runWatched(std::max(now, now_), *this, maxStatements, watch);
    }
    // Gives up the statements still due before `now` and moves the clock there.
    void fallBehind(Micros now);
    Micros now() const { return now_; }
    // The earliest time at which the model has something to do on its own (a
    // running thread's next statement, the end of a DELAY or WAITX); nothing
    // while it only waits for commands.
    std::optional<Micros> nextWakeUp() const { return programs_.threads().nextWakeUp(*this); }
    // Device time of one program statement, 1 us to 1 s; false leaves it.
    bool setStatementTime(Micros us) { return programs_.threads().setStatementUs(us); }

    // Power off and on: reload flash, adopt a stored device name, boot outputs.
    void powerUp(Micros now);

    // The host's connection ended (closed, lost, unplugged): an unfinished
    // program transfer is dropped.
    void linkDropped() { transfer_.abandon(); }

    // Signals wired to the driver's terminals.
    void setInputs(unsigned bits) { inputs_ = bits & kInputMask; }
    void setAnalog(int value) { analog_ = value; }

    // The device name as published in the product string.
    const std::string &deviceName() const { return name_; }
    FlashState flashState() const { return flashState_; }
    ProgramState programState() const { return programState_; }
    const Programs &programs() const { return programs_; }
    // The axis now, exactly from its plan.
    std::int64_t position() const { return axis_.position(now_); }
    double speed() const { return static_cast<double>(axis_.velocity(now_)); }
    int motionBits() const { return axis_.motionBits(now_); }
    // When the axis stands still if nothing changes its plan (the end of a
    // move, or of a jog at the end of the range); now while it stands. A
    // program's WAITX waits for it; so does a host that follows a move.
    Micros standstillAt() const override { return axis_.moving(now_) ? axis_.plannedEnd() : now_; }

    using Variables = std::array<std::int32_t, 50>;
    const Variables &variables() const { return vars_; }
    // The variables whose value differs from `before`: (number 1..50, value).
    std::vector<std::pair<int, std::int32_t>> changedVariables(const Variables &before) const;

    // Physical level of the two outputs after polarity.
    unsigned outputLevels() const;
    std::string stateLine() const;

    static constexpr unsigned kInputMask = 0x3F;
    static constexpr int kAnalogMax = 1023;
    static constexpr int kZeroCurrent = 21;

private:
    enum Param { P1, P2, P3, P4, P5, P6, P7, P8, P9, PA, PB, POL, DOBOOT, SLOAD, kParamCount };
    struct ParamDef {
        const char *name;
        std::int64_t min, max, def;
        bool emptyKeeps;  // "NAME=" with nothing after it leaves the value alone
    };
    static const ParamDef kParams[kParamCount];

    std::string dispatch(std::string_view name, bool hasValue, std::string_view value);
    std::string motion(std::string_view name, bool hasValue);
    std::string motionRefusal() const;
    std::string setParam(int index, std::string_view value);
    bool mayReplaceFlash();
    std::string store();
    void loadFlash();
    void loadProgram(FlashRecord &record);
    std::string programCommand(std::string_view name, bool hasValue, std::string_view value, bool &handled);
    std::string commitProgram(ProgramTransfer::Checked checked);

    // What a running program reaches (ProgramHost).
    std::string command(std::string_view text) override { return handle(text); }
    std::int32_t &variable(int number) override { return vars_[static_cast<std::size_t>(number - 1)]; }
    Micros moveTimeTo(Micros t) override;

    int presentCurrent() const;
    int motionStatus() const;
    long double accelRate() const;

    FlashStorage &flash_;
    std::string factoryName_;
    FlashState flashState_ = FlashState::Blank;
    ProgramState programState_ = ProgramState::None;
    // Settings, name and variables as the flash holds them, so that storing a
    // program leaves them exactly as the last STORE wrote them.
    FlashRecord storedSettings_;

    std::array<std::int64_t, kParamCount> params_{};
    std::string name_, pendingName_;
    Variables vars_{};
    Programs programs_;
    ProgramTransfer transfer_;
    int sloadAtBoot_ = 0;  // auto-run request seen at the last power-up

    Axis axis_;
    std::int64_t hspd_ = 0, acc_ = 0;
    bool incremental_ = false;
    bool enabled_ = true;
    unsigned outputs_ = 0;  // as commanded, before polarity
    unsigned inputs_ = 0;   // as wired, before polarity
    int analog_ = 0;

    Micros now_ = 0;
};

}  // namespace zsim
