// The device a command works on, opened when the command first needs it.
#include "Commands.h"
#include "Text.h"

namespace zentactl {

Link &Context::library()
{
    if (!link_)
        link_ = std::make_unique<Link>();
    return *link_;
}

Link &Context::device()
{
    Link &l = library();
    if (!opened_) {
        l.open(choice_, retry_, throughDoor_, bySerial_);
        opened_ = true;
    }
    return l;
}

std::string Context::name() { return utf8(device().device().name); }

std::string Context::chosenName() const { return link_ ? utf8(link_->device().name) : std::string(); }

}  // namespace zentactl
