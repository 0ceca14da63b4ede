#include "mainwindow/MainControlForm.h"

#include "PlotForm.h"
#include "mainwindow/StatusPoll.h"
#include "ui_MainControlForm.h"

// The plot records the poll's readings from the start, so opening it shows
// the last moves too.
void MainControlForm::wirePlot()
{
    plot_ = new PlotForm(this);
    PlotForm *p = plot_;
    connect(poll_.get(), &StatusPoll::polled, p, [p](const PollReading &r) { p->takeReading(r); });
    connect(ui_->ShowPlot, &QPushButton::clicked, this, [p] { p->ShowPlot_Click(); });
}
