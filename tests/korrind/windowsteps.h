// Steps the window tests share: a mailbox record to fill the lists with, and answering a modal
// window once it shows.
#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>
#include <string>

#include "common/records.h"

// An active mailbox with a password and the "BELL" alerts.
inline TMailBoxRecord Record(const std::string &user, const std::string &server,
                             const std::string &inbox)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, server);
    SetText(record.Password, user + "-pw");
    SetText(record.InboxPath, inbox);
    SetText(record.ArrivalAlert, "BELL");
    SetText(record.PriorityAlert, "BELL");
    record.Active = 1;
    return record;
}

// Runs steps on the next modal window of type T once it shows (polling, since the code that
// opens it blocks in its own event loop).
template <typename T> void OnModal(std::function<void(T *)> steps)
{
    auto *poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, steps] {
        auto *window = dynamic_cast<T *>(QApplication::activeModalWidget());
        if (!window || !window->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        steps(window);
    });
    poll->start();
}
