// The selection window's whole path into a main window, as an operator takes
// it: list the devices, pick an entry, open it and run the start-up.
#pragma once

#include "device/frmSelect.h"
#include "mainwindow/MainControlForm.h"
#include "ui_frmSelect.h"

#include <QStringList>
#include <QTimer>
#include <memory>

// The entries listed go to `entries` when given; entry `row` is picked. No
// window when there is no such entry. The poll timer is left stopped: tests
// tick it themselves.
inline std::unique_ptr<MainControlForm> selectAndStart(QStringList *entries = nullptr, int row = 0)
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
    if (list->count() <= row)
        return nullptr;
    list->setCurrentRow(row);
    select.cmdOK_Click();
    return main;
}
