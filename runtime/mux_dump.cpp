#include "runtime/mux_dump.h"

#include <poll.h>

#include <ostream>

#include "runtime/ext.h"
#include "runtime/multiplexer.h"
#include "runtime/profile.h"

std::string PollEventAsText(short events)
{
    static const struct {
        short bit;
        const char* name;
    } kBits[] = {
        {POLLIN, "|POLLIN"},         {POLLPRI, "|POLLPRI"},       {POLLOUT, "|POLLOUT"},
        {POLLERR, "|POLLERR"},       {POLLHUP, "|POLLHUP"},       {POLLNVAL, "|POLLNVAL"},
        {POLLRDNORM, "|POLLRDNORM"}, {POLLRDBAND, "|POLLRDBAND"}, {POLLWRNORM, "|POLLWRNORM"},
        {POLLWRBAND, "|POLLWRBAND"}, {POLLMSG, "|POLLMSG"},
    };
    std::string text;
    for (const auto& b : kBits)
        if (events & b.bit)
            text += b.name;
    return text.empty() ? text : text.substr(1);
}

void Multiplexer::dump(std::ostream& out) const
{
    out << "dpc transition measurement (min/max/cur/counter): ";
    mDpcMeasure.put(out);
    out << std::endl << "event transition measurement (min/max/cur/counter): ";
    mEventMeasure.put(out);
    out << std::endl << "timer transition measurement (min/max/cur/counter): ";
    mTimerMeasure.put(out);
    out << std::endl;

    Profile::dump(out);

    ext::Table table(40, 30, 10, 10, 5, 60);
    ext::Table::Sentry(out, table) << ext::delimeter;
    ext::Table::Sentry(out, table) << ext::beginrow << "name" << ext::nextrow << "events" << ext::nextrow << "count"
                                   << ext::nextrow << "handler" << ext::nextrow << "fd" << ext::nextrow << "measure"
                                   << ext::nextrow << ext::delimeter;
    for (const EventHandler* h : active()) {
        if (!h->is_named())
            continue;
        const Event* e = dynamic_cast<const Event*>(h);
        if (!e)
            continue;
        ext::Table::Sentry(out, table) << ext::beginrow << e->name << ext::nextrow << PollEventAsText(e->events)
                                       << ext::nextrow << e->count << ext::nextrow
                                       << (e->handler ? "attached" : "unattached") << ext::nextrow << e->fd.get()
                                       << ext::nextrow << e->measure << ext::nextrow;
    }
    ext::Table::Sentry(out, table) << ext::delimeter;
    out << std::endl;
}
