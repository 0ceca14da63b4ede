#pragma once

#include <QString>

class MainControlForm;
class QWidget;

// New, Open and Save of the program editor. The editor holds no file name:
// every Save asks again.
class ProgramFiles {
public:
    explicit ProgramFiles(MainControlForm &main) : main_(main) {}

    void NewProg_Click();
    void OpenProg_Click();
    void SaveProg_Click();

private:
    MainControlForm &main_;
};

// Lines read from a file as the editor holds them: each ends with a line
// end, so the editor's text ends with an empty line as the file did.
QString editorTextOf(const QStringList &lines);

// Asks for a file name and writes the text there one line per line, CR LF
// each; the program editor and the compiled-program viewer save alike.
void saveTextAs(QWidget *parent, const QString &title, const QString &filter, const QString &text);
