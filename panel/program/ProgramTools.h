#pragma once

#include "CompileControl.h"
#include "ProgramFiles.h"
#include "ProgramTransfer.h"
#include "RunningLine.h"
#include "RunControl.h"

#include <QObject>

class DryRunForm;
class ProgramCheck;

// The handlers of the program tooling (editor, compile, transfer, running line,
// run control), owned by the main window as a child object.
class ProgramTools : public QObject {
    Q_OBJECT
public:
    explicit ProgramTools(MainControlForm &main);

    ProgramFiles files;
    CompileControl compile;
    ProgramTransfer transfer;
    RunningLine running;
    RunControl run;
    ProgramCheck *check = nullptr;  // child of the editor
    DryRunForm *dryRun = nullptr;   // child window, made when first opened
};
