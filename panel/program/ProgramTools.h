#pragma once

#include "CompileControl.h"
#include "ProgramFiles.h"
#include "ProgramTransfer.h"
#include "RunningLine.h"
#include "RunControl.h"

#include <QObject>

// The program editor's and run control's handlers, owned by the main window as a child object.
class ProgramTools : public QObject {
    Q_OBJECT
public:
    explicit ProgramTools(MainControlForm &main);

    ProgramFiles files;
    CompileControl compile;
    ProgramTransfer transfer;
    RunningLine running;
    RunControl run;
};
