#pragma once

#include "ScriptedDevice.h"
#include "ScriptedDialogs.h"
#include "common/AppExit.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"

#include <QTimer>
#include <memory>

// A main window over the scripted device, with scripted dialogs and the
// program's end observed instead of taken. The poll timer is stopped: tests
// call its tick handler themselves.
struct PanelFixture {
    ScriptedDevice dev;
    ScriptedDialogs dialogs;
    QList<int> exits;
    std::unique_ptr<MainControlForm> main;

    explicit PanelFixture(bool commOpen = true)
    {
        modTollan::resetLinkState();
        modTollan::CommOpen = commOpen;
        modTollan::DeviceHandle = dev.openedHandle;
        setEndProgramHandler([this](int code) { exits << code; });
        dev.replies = {
            {"VER", "V113BLSA"}, {"ID", "KVL-CFG-UV-USB"}, {"DN", "CFG05"}, {"PA", "1"},
            {"P6", "10"},        {"P8", "5"},              {"P9", "4"},     {"PB", "100"},
            {"POL", "0"},        {"DOBOOT", "0"},          {"SLOAD", "0"},  {"HSPD", "1000"},
            {"ACC", "300"},      {"PX", "0"},              {"SPC", "1"},    {"MST", "168"},
            {"DI", "0"},         {"DO", "0"},              {"EO", "1"},     {"AI", "0"},
            {"MM", "0"},         {"SASTAT", "0"},
        };
        main = std::make_unique<MainControlForm>();
        main->Timer1()->stop();
    }

    // Runs the window's start-up as the selection hand-over does, then
    // forgets what it sent.
    void load()
    {
        main->Form_Load();
        main->Timer1()->stop();
        dev.clearLog();
        dialogs.shown.clear();
    }

    ~PanelFixture()
    {
        main.reset();
        setEndProgramHandler({});
        modTollan::resetLinkState();
    }
};
