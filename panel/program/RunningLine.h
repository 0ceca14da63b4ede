#pragma once

#include <QString>
#include <cstdint>
#include <optional>

class ProgramEdit;

// Follows which program text is on the device and, while the editor holds
// exactly that text and the program runs, marks the line "SPC" reports. It
// only listens to what the status poll reads anyway; it never asks the
// device itself.
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

    // What the status poll read: the "SPC" reply every tick, the "SASTAT"
    // code on its program-state step.
    void counterRead(const QString &reply);
    void stateRead(int32_t code);

    bool editorHoldsDeviceProgram() const { return holds_; }

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
