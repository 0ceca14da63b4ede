#pragma once

#include <QString>
#include <cstdint>

class MainControlForm;
class QPlainTextEdit;

// Compiling the editor's text through Vorlag, and the viewer of the output.
class CompileControl {
public:
    explicit CompileControl(MainControlForm &main) : main_(main) {}

    void CompileAll_Click();
    void ViewCompiled_Click();

    // Selects exactly the characters of a 1-based line and gives the box the
    // focus; a line the text does not have changes nothing.
    static void Highlight1(int16_t lineNumber, QPlainTextEdit *OrgProgram);
    // "Lines: " and the count with a sign position: "Lines:  12", "Lines: -1".
    static QString linesCaption(int32_t count);

private:
    MainControlForm &main_;
};
