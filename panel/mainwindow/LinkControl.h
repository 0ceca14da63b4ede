#pragma once

class MainControlForm;

// The link to the device after it was lost: taken up again only when the
// operator asks for it ("Reconnect", F5), never by itself.
class LinkControl {
public:
    explicit LinkControl(MainControlForm &main) : main_(main) {}

    // Finds the device the panel was using, opens it, checks that it is the
    // same device and one this panel can drive, reads it into the window and
    // starts the poll again. Sends no setting and starts no program; on any
    // failure one message says why and the link stays closed.
    void Reconnect_Click();

private:
    MainControlForm &main_;
};
