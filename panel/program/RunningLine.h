#pragma once

#include <QString>
#include <cstdint>
#include <optional>

class ProgramEdit;

// Follows which program text is on the device and, while the editor holds
// exactly that text and program 0 runs, marks the line "SPC" reports for it.
// It only listens to what the status poll reads; it never asks the device
// itself.
class RunningLine {
public:
    explicit RunningLine(ProgramEdit &editor);

    // A compile of `text` succeeded: the compiled output is that text.
    void compiled(const QString &text);
    // A compile failed or left no output: nothing compiled is known.
    void compileLost();
    // A download ended; `ok` when the loader reported success. Either way
    // the download stopped both threads first.
    void downloaded(bool ok);
    // An upload ended; `ok` when the editor now holds the decompiled program.
    void uploaded(bool ok);

    // What the status poll read: the "SPC" reply every tick, program 0's own
    // "SASTAT0" code on its program-state step. The whole program's "SASTAT"
    // says "running" while program 1 runs, whatever program 0 does.
    void counterRead(const QString &reply);
    void stateRead(int32_t code);

    bool editorHoldsDeviceProgram() const { return holds_; }
    // While the device's program text is known, the poll reads program 0's
    // state, so the mark is ready the moment the editor holds that text.
    bool knowsDeviceProgram() const { return deviceText_.has_value(); }

private:
    void textChanged();
    void show();

    ProgramEdit &editor_;
    std::optional<QString> compiledText_;
    std::optional<QString> deviceText_;
    bool holds_ = false;
    bool running_ = false;
    int line_ = 0;
};
