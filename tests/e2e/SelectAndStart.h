// The selection window's whole path into a main window, as an operator takes
// it: list the devices, pick the first entry, open it and run the start-up.
#pragma once

#include "device/frmSelect.h"
#include "mainwindow/MainControlForm.h"
#include "ui_frmSelect.h"

#include <QStringList>
#include <QTimer>
#include <memory>

// The entries listed go to `entries` when given. No window when nothing is
// listed. The poll timer is left stopped: tests tick it themselves.
inline std::unique_ptr<MainControlForm> selectAndStart(QStringList *entries = nullptr)
{
    auto main = std::make_unique<MainControlForm>();
    main->Timer1()->stop();
    MainControlForm *m = main.get();
    frmSelect select({[m] {
                          m->Form_Load();
                          m->Timer1()->stop();
                      },
                      [] {}});
    select.Form_Load();
    auto *list = select.ui()->DeviceList;
    if (entries)
        for (int i = 0; i < list->count(); ++i)
            *entries << list->item(i)->text();
    if (list->count() == 0)
        return nullptr;
    list->setCurrentRow(0);
    select.cmdOK_Click();
    return main;
}
